#pragma once
// The sync client of a drive's online realm: downloads through the drive's SyncCloudDownloads,
// namespace changes through its SyncCloudClient. Completions run on the cloud session's
// callback queue, exactly once.

#include <memory>

#include "fileprovider/cloud/SyncClientProtocol.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/content/SyncCloudDownloads.hpp"

namespace tarnix::fileprovider {

class OnlineSyncClient final : public SyncClientProtocol {
 public:
  OnlineSyncClient(std::shared_ptr<SyncCloudClient> cloudClient,
                   std::shared_ptr<SyncCloudDownloads> downloads)
      : cloudClient_(std::move(cloudClient)), downloads_(std::move(downloads)) {}

  fp::ProgressPtr downloadFile(const common::SyncItem& item, std::filesystem::path destination,
                               std::optional<common::CloudEntryIdentifier> requestedContentVersion,
                               fp::FetchContentsOptions options,
                               ResultHandler<common::SyncItem> completionHandler) override;
  fp::ProgressPtr downloadFilePartially(
      const common::SyncItem& item, std::filesystem::path destination,
      cloudfs::ByteRange requestedRange, std::int64_t alignment,
      std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      fp::FetchContentsOptions options,
      ResultHandler<PartialFetchOutputContext> completionHandler) override;
  fp::ProgressPtr createFolder(const common::SyncItem& parentItem, std::string filename,
                               ResultHandler<common::SyncItem> completionHandler) override;
  fp::ProgressPtr moveItem(const common::SyncItem& item, std::optional<common::SyncItem> newParent,
                           std::optional<std::string> newFilename,
                           ResultHandler<common::SyncItem> completionHandler) override;
  fp::ProgressPtr deleteItem(const common::SyncItem& item,
                             ResultHandler<void> completionHandler) override;

 private:
  std::shared_ptr<SyncCloudClient> cloudClient_;
  std::shared_ptr<SyncCloudDownloads> downloads_;
};

}  // namespace tarnix::fileprovider
