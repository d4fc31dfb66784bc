#pragma once
// What the sync service asks of a sync client (the cloud client, or the offline engine behind
// the same interface). Only the content downloads are declared so far; the item changes join
// with the write path.
//
// Completions run exactly once, on the client's callback queue. The returned progress counts
// the bytes; cancelling it cancels the download.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "cloudfs/requests/DownloadRequests.hpp"
#include "common/SyncItem.hpp"
#include "fileprovider/cloud/SyncCloudError.hpp"
#include "platform/fileprovider/Progress.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// What a partial download delivered: the item, and the range of its contents now in the file.
struct PartialFetchOutputContext {
  common::SyncItem item;
  cloudfs::ByteRange range;
};

class SyncClientProtocol {
 public:
  template <class T>
  using ResultHandler = std::function<void(SyncCloudResult<T>)>;

  virtual ~SyncClientProtocol() = default;

  /// The whole file, at `requestedContentVersion` (the item's own version when none), into
  /// `destination`; the result is the item as downloaded.
  virtual fp::ProgressPtr downloadFile(
      const common::SyncItem& item, std::filesystem::path destination,
      std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      fp::FetchContentsOptions options, ResultHandler<common::SyncItem> completionHandler) = 0;

  /// At least `requestedRange` of the file, widened to multiples of `alignment`, into
  /// `destination`; the result says which range the file holds.
  virtual fp::ProgressPtr downloadFilePartially(
      const common::SyncItem& item, std::filesystem::path destination,
      cloudfs::ByteRange requestedRange, std::int64_t alignment,
      std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      fp::FetchContentsOptions options,
      ResultHandler<PartialFetchOutputContext> completionHandler) = 0;
};

}  // namespace tarnix::fileprovider
