#pragma once
// The per-drive service through which the provider's content downloads (and, with the write
// path, every item change) reach a sync client.
//
// Threads: any thread may call it; completions run on the client's callback queue, exactly
// once.

#include <filesystem>
#include <memory>
#include <optional>

#include "base/Logger.hpp"
#include "common/Drive.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncClientProtocol.hpp"

namespace tarnix::fileprovider {

class SyncService {
 public:
  SyncService(std::shared_ptr<common::SyncItemStorage> itemStorage, common::Drive drive,
              std::shared_ptr<SyncClientProtocol> syncClient, base::Logger logger);

  /// The client's whole-file download; a failure logs "Received error while downloading
  /// content".
  fp::ProgressPtr downloadFile(
      const common::SyncItem& item, std::filesystem::path destination,
      std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      fp::FetchContentsOptions options,
      SyncClientProtocol::ResultHandler<common::SyncItem> completionHandler);
  /// The client's range download; a failure logs the same line.
  fp::ProgressPtr downloadFilePartially(
      const common::SyncItem& item, std::filesystem::path destination,
      cloudfs::ByteRange requestedRange, std::int64_t alignment,
      std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      fp::FetchContentsOptions options,
      SyncClientProtocol::ResultHandler<PartialFetchOutputContext> completionHandler);

  const std::shared_ptr<SyncClientProtocol>& syncClient() const { return syncClient_; }

 private:
  template <class T>
  SyncClientProtocol::ResultHandler<T> logged(const common::SyncItem& item,
                                              SyncClientProtocol::ResultHandler<T> handler) const;

  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  common::Drive drive_;
  std::shared_ptr<SyncClientProtocol> syncClient_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
