#pragma once
// The per-drive service through which every change the system asks for (a new folder or file,
// new contents, a move or rename, a deletion) and every content transfer becomes an operation
// of a sync client.
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

#include <map>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "common/ChunkUploadStorage.hpp"
#include "common/Drive.hpp"
#include "common/DriveConfigurationProvider.hpp"
#include "common/FeatureList.hpp"
#include "common/SkipsService.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncClientProtocol.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"
#include "fileprovider/sync/DeletionManager.hpp"
#include "fileprovider/upload/SyncUploadValidator.hpp"
#include "fileprovider/upload/UploadErrorPresenter.hpp"

namespace tarnix::fileprovider {

/// The names of the files being uploaded, per folder. Thread-safe.
class UploadsInProgress {
 public:
  void begin(const common::SyncFolderIdentifier& folder, const std::string& filename);
  void end(const common::SyncFolderIdentifier& folder, const std::string& filename);
  std::vector<std::string> names(const common::SyncFolderIdentifier& folder) const;

 private:
  mutable base::Mutex mutex_;
  std::map<common::SyncFolderIdentifier, std::vector<std::string>> names_ TARNIX_GUARDED_BY(mutex_);
};

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
    /// Checks the names and sizes of new files; may be null (no check here).
    std::shared_ptr<SyncUploadValidator> uploadValidator;
    /// Shows failed uploads to the user; may be null.
    std::shared_ptr<UploadErrorPresenter> uploadErrorPresenter;
    /// The drive's cloud configuration (the integrity check of page-layout documents); may be
    /// null.
    std::shared_ptr<common::DriveConfigurationProvider> configurationProvider;
    /// The current time of the date rules; null: the system clock.
    std::shared_ptr<base::Clock> clock;
  };

  struct EditItemOutput {
    common::SyncItem item;
    /// The local content is stale (the cloud kept it as a conflict copy): fetch it again.
    bool shouldRedownloadContent = false;
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
  /// Uploads the snapshot of `entryParams` as the new file `filename` of `begun`'s parent and
  /// stores it. Refuses, in this order, a name or size the upload rules reject (not for the
  /// offline realm: uploadRejected), a parent that allows no editing (permissionDenied). A file
  /// of that name that the cloud holds with other content is never replaced
  /// (filenameCollision). The date is sanitised first. Failures are shown to the user
  /// through the upload error presenter.
  fp::ProgressPtr createFile(const common::BeginNewItemResult& begun,
                             CloudEntryUploadParams entryParams,
                             std::optional<std::string> originalItemIdentifier,
                             std::string filename, std::optional<std::string> contentType,
                             ResultHandler<CreatedItem> completionHandler);
  /// Uploads new contents of the stored `item` and stores what the cloud confirmed. The base
  /// version is `entryParams.baseContentVersion` (the version the edit was made from), else the
  /// item's `contentVersion`; the lock token is the item's local lock's. When another version
  /// replaced the base meanwhile, the cloud keeps theirs and this content as a conflict copy:
  /// the parent is listed again and the answer asks for the contents to be fetched again.
  fp::ProgressPtr editItem(const common::SyncItem& item, CloudEntryUploadParams entryParams,
                           std::optional<std::string> contentType, std::string operationID,
                           ResultHandler<EditItemOutput> completionHandler);
  /// `entryParams` with its dates fixed for the cloud (see sanitizedModificationDate).
  CloudEntryUploadParams sanitizeModificationDate(
      CloudEntryUploadParams entryParams, const std::optional<common::SyncItem>& item) const;
  /// The names of the files being uploaded into `folder`.
  std::vector<std::string> uploadsInProgress(const common::SyncFolderIdentifier& folder) const;

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
  /// Page-layout documents (".indd") are checked before upload where the configuration asks
  /// for it; true: the upload may go on.
  bool verifyInddIntegrity(const std::string& filename, const CloudEntryUploadParams& entryParams,
                           const std::string& operationID) const;
  base::Date now() const;

  Collaborators c_;
  base::Logger logger_;
  // Shared with the completions of the uploads, which may outlive the service.
  std::shared_ptr<UploadsInProgress> uploadsInProgress_ = std::make_shared<UploadsInProgress>();
  /// Where answers that need no client are delivered.
  std::shared_ptr<base::DispatchQueue> queue_ = base::DispatchQueue::make("com.tarnix.SyncService");
};

/// Whether moving `item` to `newParent` (none: same parent) under `newFilename` changes
/// anything. A change of letter case alone is a change.
bool isMoveAnUpdate(const common::SyncItem& item,
                    const std::optional<common::SyncFolderIdentifier>& newParent,
                    const std::string& newFilename);
/// The upload's dates as the cloud may take them, with `existing` the stored item (none for a
/// new file) and `now` the current time: an absent date becomes the existing item's or `now`;
/// a date at or before 1970, one after `now`, or one older than the existing item's (its
/// override, else its own) gets `now` as `cfsContentModificationDateOverride`, and keeps its
/// own value as `contentModificationDate`. Logs under the texts of each rule.
CloudEntryUploadParams sanitizedModificationDate(CloudEntryUploadParams entryParams,
                                                 const std::optional<common::SyncItem>& existing,
                                                 base::Date now, const base::Logger& logger);
/// `name` without white space at either end.
std::string trimmedFilename(const std::string& name);

}  // namespace tarnix::fileprovider
