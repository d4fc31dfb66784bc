#pragma once
// The sync layer's gateway to the cloud: lists folders, reads metadata, creates folders, moves,
// copies, duplicates and deletes items, and maps every HTTP status and server error body onto
// SyncError. Transfers (downloads, uploads, thumbnails) are added beside these operations and
// share the session, the error mapping and the completion rules.
//
// Every operation returns the task it sent (empty when nothing was sent); cancelling it makes
// the completion get the cancellation error.
//
// Threads: every operation may be called from any thread. Each completion runs exactly once,
// on the session's callback queue ("com.tarnix.CloudFSSession"). The client never retries by
// itself: throttling and connectivity are reported (`throttledByServer`, `serverUnreachable`)
// and the caller decides.

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/Logger.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"
#include "cloudfs/requests/FSIItemMetadataRequest.hpp"
#include "cloudfs/requests/NamespaceRequests.hpp"
#include "cloudfs/responses/ListingResponse.hpp"
#include "cloudfs/responses/MetadataResponses.hpp"
#include "common/AnalyticsSender.hpp"
#include "common/Drive.hpp"
#include "common/SyncError.hpp"
#include "common/SyncItem.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncClientProtocol.hpp"
#include "fileprovider/cloud/SyncCloudError.hpp"
#include "fileprovider/cloud/ZephyrCache.hpp"

namespace tarnix::fileprovider {

/// One listing of a cloud folder: the folder itself, its direct children, and the listing's
/// entity tag.
struct SyncCloudFolderItems {
  common::SyncItem folderItem;
  std::vector<common::SyncItem> childFolderItems;
  std::vector<common::SyncItem> childFileItems;
  std::string version;
};

/// The folder did not change since the entity tag the caller passed.
struct SyncCloudNotModified {
  bool operator==(const SyncCloudNotModified&) const = default;
};

using SyncCloudListing = std::variant<SyncCloudNotModified, SyncCloudFolderItems>;

class FileDownloader;
struct PartialFetch;

/// Where and how one download is sent: the session (the cloud's, or the drive's fast-access
/// endpoint's), the version and path asked for.
struct DownloadParameters {
  std::shared_ptr<cloudfs::CloudFSSession> session;
  std::optional<common::CloudEntryIdentifier> version;
  std::optional<std::string> path;
  bool usesHybrid = false;
};

/// How the client's downloads are set up.
struct DownloadConfiguration {
  /// The folder of resume data records (kept across attempts and restarts).
  std::filesystem::path resumeDirectory;
  std::shared_ptr<common::AnalyticsSender> analytics;
  /// The host of the drive's on-premises fast-access endpoint; none: every download goes to
  /// the cloud.
  std::optional<std::string> fastAccessDomain;
};

/// `requested` widened to multiples of `alignment` (1 or less: unchanged), never past the
/// largest offset.
cloudfs::ByteRange alignedRange(cloudfs::ByteRange requested, std::int64_t alignment);

/// The SyncError a validation failure (400) or a name conflict stands for, from the server's
/// "message"/"errorMessage" text; none for texts the client does not know.
std::optional<common::SyncError> syncErrorForServerMessage(std::string_view message);

class SyncCloudClient : public SyncClientProtocol,
                        public std::enable_shared_from_this<SyncCloudClient> {
 public:
  template <class T>
  using Completion = std::function<void(SyncCloudResult<T>)>;

  /// Always held by a shared_ptr: completions keep the client alive until they have run,
  /// except those of downloads, which hold it weakly: when the client goes, the downloads it
  /// started are cancelled (their completions get the cancellation error).
  /// `syncItemStorage` (may be null) gives listed items that are already stored their local
  /// identifiers and local state; without it every listed child gets a new identifier.
  SyncCloudClient(std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory,
                  std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler,
                  base::Logger logger, std::shared_ptr<common::SyncItemStorage> syncItemStorage,
                  common::Drive drive);
  /// Cancels the downloads still running.
  ~SyncCloudClient() override;

  const common::Drive& drive() const { return drive_; }
  /// Made on first use from the factory for the drive.
  std::shared_ptr<cloudfs::CloudFSSession> cfsSession();

  // MARK: Listing and metadata

  /// Lists `folder` (which must carry its cloud folder identifier). With `previousVersion` the
  /// request is conditional and an unchanged folder gives SyncCloudNotModified.
  cloudfs::CloudFSSessionTask enumerateItems(const common::SyncItem& folder,
                                             std::optional<std::string> previousVersion,
                                             Completion<SyncCloudListing> completionHandler);
  /// Lists the drive's root folder by the drive's cloud start path: how the root is listed
  /// before the cloud identifier is known. Never conditional.
  cloudfs::CloudFSSessionTask enumerateDriveRoot(const common::SyncItem& root,
                                                 Completion<SyncCloudListing> completionHandler);
  cloudfs::CloudFSSessionTask folderMetadata(
      const common::SyncItem& folder,
      Completion<cloudfs::FolderMetadataResponse> completionHandler);
  cloudfs::CloudFSSessionTask fileMetadata(
      const common::SyncItem& file, Completion<cloudfs::FileMetadataResponse> completionHandler);
  cloudfs::CloudFSSessionTask itemMetadata(
      const common::SyncItem& item, std::set<cloudfs::FSIRequestField> fields,
      Completion<cloudfs::FSIItemMetadataVersionResponse> completionHandler);

  // MARK: Namespace changes

  /// The new folder as an item under `parentItem` (with a new local identifier).
  cloudfs::CloudFSSessionTask createFolder(const common::SyncItem& parentItem, std::string filename,
                                           Completion<common::SyncItem> completionHandler);
  /// Renames and/or reparents `item`; the result is the item with its new name and parent.
  /// With neither, nothing is sent and the item comes back unchanged.
  cloudfs::CloudFSSessionTask moveItem(const common::SyncItem& item,
                                       std::optional<common::SyncItem> newParent,
                                       std::optional<std::string> newFilename,
                                       std::optional<std::string> lockToken,
                                       Completion<common::SyncItem> completionHandler);
  /// Copies `item` to the cloud path `destination`.
  cloudfs::CloudFSSessionTask copyItem(const common::SyncItem& item, std::string destination,
                                       std::optional<cloudfs::PermissionHandling> permissions,
                                       Completion<void> completionHandler);
  /// Makes the server's duplicate of the file at the cloud path `sourceFilePath`.
  cloudfs::CloudFSSessionTask duplicateItem(std::string sourceFilePath,
                                            Completion<void> completionHandler);
  /// Deletes `item` (a file only at its current content version). An item the server no
  /// longer has counts as deleted.
  cloudfs::CloudFSSessionTask deleteItem(const common::SyncItem& item,
                                         std::optional<std::string> lockToken,
                                         Completion<void> completionHandler);

  // MARK: Thumbnails (SyncCloudThumbnails.cpp)

  /// The thumbnail image of `file` fitted into `width` x `height` pixels, of the file's stored
  /// content version when it has one (a file that moved on to another version gives
  /// noSuchItem). None when the server makes no thumbnail of the file: its source is too big
  /// (logged "Source file is too big to generate a thumbnail") or of a type it does not render.
  cloudfs::CloudFSSessionTask downloadThumbnail(
      const common::SyncItem& file, std::int64_t width, std::int64_t height,
      Completion<std::optional<std::string>> completionHandler);

  // MARK: Downloads

  /// Replaces the download set-up; call before the first download.
  void configureDownloads(DownloadConfiguration configuration);
  /// Through a FileDownloader, resuming from kept resume data.
  fp::ProgressPtr downloadFile(const common::SyncItem& item, std::filesystem::path destination,
                               std::optional<common::CloudEntryIdentifier> requestedContentVersion,
                               fp::FetchContentsOptions options,
                               ResultHandler<common::SyncItem> completionHandler) override;
  /// `fetchPartialContents` with the fast-access endpoint allowed.
  fp::ProgressPtr downloadFilePartially(
      const common::SyncItem& item, std::filesystem::path destination,
      cloudfs::ByteRange requestedRange, std::int64_t alignment,
      std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      fp::FetchContentsOptions options,
      ResultHandler<PartialFetchOutputContext> completionHandler) override;
  /// The range rounded out to `alignment` into `destination`. A 200 answer is the whole file
  /// (so is the delivered range); 403 and 404 fail; an "ETag" other than the version asked for
  /// is entryIDMismatch. With `allowHybrid` the drive's fast-access endpoint is tried first
  /// and the cloud answers when it lacks the file or the version.
  fp::ProgressPtr fetchPartialContents(
      cloudfs::ByteRange size, const common::SyncItem& item, std::filesystem::path destination,
      std::int64_t alignment, std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      bool allowHybrid, ResultHandler<PartialFetchOutputContext> completionHandler);
  /// The cloud, or the fast-access endpoint when allowed, configured and not known to lack
  /// the version.
  DownloadParameters downloadParameters(const common::SyncItem& item,
                                        std::optional<common::CloudEntryIdentifier> version,
                                        bool allowHybrid);
  /// 404 → noSuchItem(item), 403 → fileLocked or permissionDenied, 401 →
  /// authenticationRequired, 429 → throttledByServer, anything else → badServerResponse.
  common::SyncError downloadErrorForStatus(const cloudfs::CloudFSResponse& response,
                                           const common::SyncItem& item) const;
  ZephyrCache& zephyrCache() { return zephyrCache_; }
  /// Whole-file downloads still running.
  std::size_t runningDownloads() const;

  // MARK: Error mapping, shared by every operation

  /// A transport failure: a cancellation is handed on unlogged; a connectivity failure becomes
  /// `serverUnreachable`; anything else is logged and handed on.
  SyncCloudError adaptSessionError(const cloudfs::CloudFSSessionError& error) const;
  /// 401 → authenticationRequired (and the drive's handler hears of it), 429 →
  /// throttledByServer, anything else → badServerResponse, logged with the body.
  common::SyncError errorForOtherStatus(const cloudfs::CloudFSResponse& response,
                                        std::string_view operationName) const;
  /// A 403 for a file locked by another user → fileLocked.
  std::optional<common::SyncError> checkForbiddenStatusCode(
      const cloudfs::CloudFSResponse& response, const std::string& body,
      const std::string& filename) const;
  /// A 409 that says the name is taken → filenameCollision with the item of that name.
  std::optional<common::SyncError> checkConflictStatusCode(
      const cloudfs::CloudFSResponse& response, const std::string& body,
      const std::string& filename, const std::optional<common::SyncFolderIdentifier>& parent) const;
  /// A 400 whose error body the client recognises → its SyncError.
  std::optional<common::SyncError> checkValidationFailure(const cloudfs::CloudFSResponse& response,
                                                          const std::string& body,
                                                          const std::string& filename,
                                                          std::string_view operationName) const;

  /// Builds the listing result of `listing` for the stored or given `folder`.
  SyncCloudFolderItems folderItems(const common::SyncItem& folder,
                                   const cloudfs::ListingResponse& listing,
                                   std::string version) const;

 private:
  template <class T>
  cloudfs::CloudFSSessionTask send(
      const cloudfs::CloudFSRequestPrototype& request, std::string operationName,
      std::function<SyncCloudResult<T>(const cloudfs::CloudFSResponse&)> handle,
      Completion<T> completionHandler);
  /// Turns a listing answer into items of `folder`.
  std::function<SyncCloudResult<SyncCloudListing>(const cloudfs::CloudFSResponse&)> listingHandler(
      const common::SyncItem& folder);
  common::SyncError failedStatus(const cloudfs::CloudFSResponse& response,
                                 std::string_view operationName, const std::string& filename,
                                 const std::optional<common::SyncFolderIdentifier>& parent) const;
  /// The decoded 2xx body; 404 → noSuchItem(item); other statuses through `failedStatus`.
  template <class Response>
  SyncCloudResult<Response> decoded(const cloudfs::CloudFSResponse& response,
                                    const common::SyncItem& item,
                                    std::string_view operationName) const;
  template <class T>
  void failDownloadWithoutCloudIdentifier(const common::SyncItem& item,
                                          ResultHandler<T> completionHandler);
  template <class T>
  cloudfs::CloudFSSessionTask failWithoutCloudIdentifier(const common::SyncItem& item,
                                                         Completion<T> completionHandler);

  std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory_;
  std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler_;
  base::Logger logger_;
  std::shared_ptr<common::SyncItemStorage> syncItemStorage_;
  common::Drive drive_;

  std::once_flag sessionOnce_;
  std::shared_ptr<cloudfs::CloudFSSession> cfsSession_;

  mutable std::mutex downloadMutex_;
  DownloadConfiguration downloadConfiguration_;                    // guarded
  std::vector<std::shared_ptr<FileDownloader>> downloadSessions_;  // guarded
  std::vector<std::weak_ptr<PartialFetch>> partialFetches_;        // guarded
  std::shared_ptr<cloudfs::CloudFSSession> fastAccessSession_;     // guarded
  ZephyrCache zephyrCache_;
};

}  // namespace tarnix::fileprovider
