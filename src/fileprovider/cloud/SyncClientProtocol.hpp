#pragma once
// What the sync service asks of a sync client (the cloud client, or the offline engine behind
// the same interface): content downloads and uploads and the changes of the namespace.
//
// Completions run exactly once, on the client's callback queue, never on the calling thread.
// The returned progress counts the bytes of a transfer; cancelling it cancels the operation
// (its completion then gets the cancellation).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "cloudfs/requests/DownloadRequests.hpp"
#include "common/PatchedSyncItem.hpp"
#include "common/SyncItem.hpp"
#include "fileprovider/cloud/SyncCloudError.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"
#include "platform/fileprovider/Progress.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// What a partial download delivered: the item, and the range of its contents now in the file.
struct PartialFetchOutputContext {
  common::SyncItem item;
  cloudfs::ByteRange range;
};

/// What uploading a new version of a file gave.
struct UploadNextEntryOutput {
  /// The item with what the cloud now holds (its new content version); unchanged when the
  /// cloud kept the upload as a conflict copy.
  common::PatchedSyncItem item;
  /// The local content is not the cloud's version of the item any more: another version had
  /// replaced the base, and the upload became `conflictedFileName`.
  bool hasStaleVersion = false;
  std::optional<std::string> conflictedFileName;
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

  /// Uploads the snapshot `entryParams.contentsURL` as the new file `filename` in
  /// `parentItem`; the result is the new item (a new local identifier, the cloud's identifier
  /// and content version) keeping `originalItemIdentifier`. A file of that name that the cloud
  /// already holds with other content is never replaced: filenameCollision.
  virtual fp::ProgressPtr uploadFirstEntry(const common::SyncItem& parentItem,
                                           CloudEntryUploadParams entryParams, std::string filename,
                                           std::optional<std::string> originalItemIdentifier,
                                           ResultHandler<common::SyncItem> completionHandler) = 0;
  /// Uploads the snapshot as a new version of `item` (in `parentItem`), based on
  /// `entryParams.baseContentVersion`, which is required.
  virtual fp::ProgressPtr uploadNextEntry(
      const common::SyncItem& parentItem, const common::SyncItem& item,
      CloudEntryUploadParams entryParams,
      ResultHandler<UploadNextEntryOutput> completionHandler) = 0;
  /// A new folder `filename` in `parentItem`; the result is the new item (a new local
  /// identifier, the cloud's identifier).
  virtual fp::ProgressPtr createFolder(const common::SyncItem& parentItem, std::string filename,
                                       ResultHandler<common::SyncItem> completionHandler) = 0;
  /// Renames and/or reparents `item` (a folder with everything below it, in one request); the
  /// result is the item with its new name and parent. With neither, nothing is sent.
  virtual fp::ProgressPtr moveItem(const common::SyncItem& item,
                                   std::optional<common::SyncItem> newParent,
                                   std::optional<std::string> newFilename,
                                   ResultHandler<common::SyncItem> completionHandler) = 0;
  /// Deletes `item`: a file only at its stored content version (a newer one on the cloud
  /// fails with entryIDMismatch), a folder with everything in it. An item the cloud no longer
  /// has counts as deleted.
  virtual fp::ProgressPtr deleteItem(const common::SyncItem& item,
                                     ResultHandler<void> completionHandler) = 0;
};

}  // namespace tarnix::fileprovider
