#pragma once
// The sync layer's gateway to the cloud: lists folders, reads metadata, creates folders, moves,
// copies, duplicates and deletes items, and maps every HTTP status and server error body onto
// SyncError. It is the shared core of the cloud side: the transfers live beside it as types of
// their own over it (content/SyncCloudDownloads, thumbnails/SyncCloudThumbnails, uploads), and
// use its session, its error mapping and its completion rules.
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
#include "common/Drive.hpp"
#include "common/SyncError.hpp"
#include "common/SyncItem.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncCloudError.hpp"

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

/// The SyncError a validation failure (400) or a name conflict stands for, from the server's
/// "message"/"errorMessage" text; none for texts the client does not know.
std::optional<common::SyncError> syncErrorForServerMessage(std::string_view message);

class SyncCloudClient : public std::enable_shared_from_this<SyncCloudClient> {
 public:
  template <class T>
  using Completion = std::function<void(SyncCloudResult<T>)>;

  /// Always held by a shared_ptr: completions keep the client alive until they have run.
  /// `syncItemStorage` (may be null) gives listed items that are already stored their local
  /// identifiers and local state; without it every listed child gets a new identifier.
  SyncCloudClient(std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory,
                  std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler,
                  base::Logger logger, std::shared_ptr<common::SyncItemStorage> syncItemStorage,
                  common::Drive drive);

  const common::Drive& drive() const { return drive_; }
  const base::Logger& logger() const { return logger_; }
  const std::shared_ptr<cloudfs::CloudFSSessionFactory>& cfsSessionFactory() const {
    return cfsSessionFactory_;
  }
  /// May be null.
  const std::shared_ptr<cloudfs::DriveCloudErrorHandler>& cloudErrorHandler() const {
    return cloudErrorHandler_;
  }
  /// Made on first use from the factory for the drive.
  std::shared_ptr<cloudfs::CloudFSSession> cfsSession();
  /// Logs "Item has no cloud identifier" and completes with noCloudIdentifier, asynchronously
  /// on the session's callback queue.
  template <class T>
  void failWithoutCloudIdentifier(const common::SyncItem& item,
                                  std::function<void(SyncCloudResult<T>)> completionHandler);

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

  /// A failed upload answer: 413 → uploadRejected(contentTooLarge), 507 →
  /// uploadRejected(storageLimitReached), the rest as every other operation's failures.
  common::SyncError uploadFailedStatus(
      const cloudfs::CloudFSResponse& response, std::string_view operationName,
      const std::string& filename, const std::optional<common::SyncFolderIdentifier>& parent) const;

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
  cloudfs::CloudFSSessionTask failUnsent(const common::SyncItem& item,
                                         Completion<T> completionHandler);

  std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory_;
  std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler_;
  base::Logger logger_;
  std::shared_ptr<common::SyncItemStorage> syncItemStorage_;
  common::Drive drive_;

  std::once_flag sessionOnce_;
  std::shared_ptr<cloudfs::CloudFSSession> cfsSession_;
};

template <class T>
void SyncCloudClient::failWithoutCloudIdentifier(
    const common::SyncItem& item, std::function<void(SyncCloudResult<T>)> completionHandler) {
  logger_.error("Item has no cloud identifier",
                base::LoggerMetadata{{"itemID", item.itemIdentifier.description()}});
  cfsSession()->callbackQueue()->async([completionHandler = std::move(completionHandler)] {
    completionHandler(std::unexpected(
        SyncCloudError(common::SyncError(common::SyncError::Code::noCloudIdentifier))));
  });
}

}  // namespace tarnix::fileprovider
