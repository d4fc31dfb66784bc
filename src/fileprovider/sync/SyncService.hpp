#pragma once
// The per-drive service through which every change the system asks for (a new folder, a move
// or rename, a deletion) and every content download becomes an operation of a sync client.
// It checks permissions and names before anything is sent, keeps the item store in step with
// what the cloud confirmed, and hands deletions to the deletion manager.
//
// Each change is a chain of asynchronous steps, one per check, in the order the checks run.
//
// Threads: any thread may call it; completions run exactly once, on the client's callback
// queue (or the deletion manager's), never on the calling thread.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/ChunkUploadStorage.hpp"
#include "common/Drive.hpp"
#include "common/FeatureList.hpp"
#include "common/SkipsService.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncClientProtocol.hpp"
#include "fileprovider/sync/DeletionManager.hpp"

namespace tarnix::fileprovider {

class SyncService {
 public:
  template <class T>
  using ResultHandler = SyncClientProtocol::ResultHandler<T>;
  /// Lists a folder from the cloud now (never skipped as recent) and says how it went.
  using FolderLister = std::function<void(const common::SyncFolderIdentifier&,
                                          std::function<void(std::optional<SyncCloudError>)>)>;

  struct CreatedItem {
    common::SyncItem item;
    /// The fields the cloud now reflects.
    fp::ItemFields synchronizedFields = fp::ItemFields::none;
  };

  struct Collaborators {
    std::shared_ptr<common::SyncItemStorage> itemStorage;
    common::Drive drive;
    std::shared_ptr<SyncClientProtocol> syncClient;
    std::shared_ptr<DeletionManager> deletionManager;
    /// Told of deleted items so that their skip records are refreshed; may be null.
    std::shared_ptr<common::SkipsService> skipsService;
    std::shared_ptr<const common::FeatureList> featureList;
    FolderLister listFolder;
    /// Where half-finished chunked uploads are kept; may be null.
    std::shared_ptr<common::ChunkUploadStorage> chunkUploadStorage;
  };

  SyncService(Collaborators collaborators, base::Logger logger);

  /// Begins a new item `filename` under `parent` (listing the parent first when it was never
  /// listed): permissionDenied when the parent allows no editing ("No permission to create
  /// item").
  void willCreateItem(const common::SyncFolderIdentifier& parent, const std::string& filename,
                      const std::optional<std::string>& systemItemIdentifier, bool isFolder,
                      ResultHandler<common::BeginNewItemResult> completionHandler);
  /// Checks the name, then creates the folder on the cloud and stores it. The new item keeps
  /// `originalItemIdentifier` (the system's identifier of its template), so that a retried
  /// creation finds it.
  fp::ProgressPtr createFolder(const common::BeginNewItemResult& begun, std::string filename,
                               std::optional<std::string> originalItemIdentifier,
                               ResultHandler<CreatedItem> completionHandler);
  /// Renames and/or reparents `item` to `newParent` (none: it stays) under `filename`; the
  /// result is the stored item.
  fp::ProgressPtr moveItem(const common::SyncItem& item, std::optional<common::SyncItem> newParent,
                           std::string filename, ResultHandler<common::SyncItem> completionHandler);
  /// Deletes `item` through the deletion manager. A folder is listed from the cloud first:
  /// without `recursive` any child refuses the deletion (directoryNotEmpty); with it, a child
  /// the store did not know before that listing does when the store knew others (the caller
  /// deleted what it saw, and nobody saw the new one).
  fp::ProgressPtr deleteItem(const common::SyncItem& item, bool recursive,
                             std::optional<common::CloudEntryIdentifier> baseContentVersion,
                             ResultHandler<void> completionHandler);

  /// Drops the stored chunks of an upload of `item` that will never finish; a failure is
  /// logged ("Failed to remove chunk upload details"), not raised.
  void removeChunksIfPresent(const common::SyncItemIdentifier& item) const;

  /// The client's whole-file download; a failure logs "Received error while downloading
  /// content".
  fp::ProgressPtr downloadFile(const common::SyncItem& item, std::filesystem::path destination,
                               std::optional<common::CloudEntryIdentifier> requestedContentVersion,
                               fp::FetchContentsOptions options,
                               ResultHandler<common::SyncItem> completionHandler);
  /// The client's range download; a failure logs the same line.
  fp::ProgressPtr downloadFilePartially(
      const common::SyncItem& item, std::filesystem::path destination,
      cloudfs::ByteRange requestedRange, std::int64_t alignment,
      std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      fp::FetchContentsOptions options, ResultHandler<PartialFetchOutputContext> completionHandler);

  const std::shared_ptr<SyncClientProtocol>& syncClient() const { return c_.syncClient; }
  const std::shared_ptr<DeletionManager>& deletionManager() const { return c_.deletionManager; }

 private:
  template <class T>
  ResultHandler<T> logged(const common::SyncItem& item, ResultHandler<T> handler) const;

  Collaborators c_;
  base::Logger logger_;
  /// Where answers that need no client are delivered.
  std::shared_ptr<base::DispatchQueue> queue_ = base::DispatchQueue::make("com.tarnix.SyncService");
};

/// Whether moving `item` to `newParent` (none: same parent) under `newFilename` changes
/// anything. A change of letter case alone is a change.
bool isMoveAnUpdate(const common::SyncItem& item,
                    const std::optional<common::SyncFolderIdentifier>& newParent,
                    const std::string& newFilename);
/// `name` without white space at either end.
std::string trimmedFilename(const std::string& name);

}  // namespace tarnix::fileprovider
