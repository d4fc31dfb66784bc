#include "fileprovider/cloud/SyncCloudClient.hpp"

#include "base/Date.hpp"
#include "base/Uuid.hpp"
#include "cloudfs/requests/FileMetadataRequest.hpp"
#include "cloudfs/requests/FolderMetadataRequest.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"

namespace tarnix::fileprovider {

using cloudfs::CloudFSResponse;
using cloudfs::CloudFSSessionError;
using common::SyncError;
using common::SyncItem;
using Code = common::SyncError::Code;

namespace {

std::optional<std::string> cloudFolderID(const SyncItem& item) {
  if (!item.isFolder() || !item.cloudIdentifier || !item.cloudIdentifier->isFolder()) {
    return std::nullopt;
  }
  return item.cloudIdentifier->rawValue();
}

std::optional<std::string> cloudGroupID(const SyncItem& item) {
  if (item.isFolder() || !item.cloudIdentifier || item.cloudIdentifier->isFolder()) {
    return std::nullopt;
  }
  return item.cloudIdentifier->rawValue();
}

common::SyncItemPermission permissionFromText(const std::string& text) {
  if (auto permission = common::permissionFromCfsName(text)) return *permission;
  return common::permissionFromCfsDescription(text).value_or(common::SyncItemPermission::none);
}

std::string bodyText(const CloudFSResponse& response) {
  return response.body.value_or("");
}

std::string identifierText(const SyncItem& item) {
  return item.itemIdentifier.description();
}

std::string cloudIdentifierText(const SyncItem& item) {
  return item.cloudIdentifier ? item.cloudIdentifier->description() : std::string();
}

bool indicator(const std::optional<std::map<std::string, bool>>& indicators, const char* key) {
  if (!indicators) return false;
  auto it = indicators->find(key);
  return it != indicators->end() && it->second;
}

}  // namespace

bool SyncCloudError::isCancellation() const {
  const auto* error = sessionError();
  return error && cloudfs::isCancellation(*error);
}

std::string SyncCloudError::description() const {
  if (const auto* error = syncError()) return error->description();
  return cloudfs::describe(*sessionError());
}

SyncCloudClient::SyncCloudClient(std::shared_ptr<cloudfs::CloudFSSessionFactory> cfsSessionFactory,
                                 std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler,
                                 base::Logger logger,
                                 std::shared_ptr<common::SyncItemStorage> syncItemStorage,
                                 common::Drive drive)
    : cfsSessionFactory_(std::move(cfsSessionFactory)),
      cloudErrorHandler_(std::move(cloudErrorHandler)),
      logger_(std::move(logger)),
      syncItemStorage_(std::move(syncItemStorage)),
      drive_(std::move(drive)) {}

std::shared_ptr<cloudfs::CloudFSSession> SyncCloudClient::cfsSession() {
  std::call_once(sessionOnce_, [this] { cfsSession_ = cfsSessionFactory_->makeSession(drive_); });
  return cfsSession_;
}

template <class T>
cloudfs::CloudFSSessionTask SyncCloudClient::send(
    const cloudfs::CloudFSRequestPrototype& request, std::string operationName,
    std::function<SyncCloudResult<T>(const CloudFSResponse&)> handle,
    Completion<T> completionHandler) {
  auto self = shared_from_this();
  return cfsSession()->send(
      request, cloudfs::TarnixURLRequestOptions::none(),
      [self, operationName = std::move(operationName), handle = std::move(handle),
       completionHandler = std::move(completionHandler)](
          std::expected<CloudFSResponse, CloudFSSessionError> result) {
        if (!result) {
          completionHandler(std::unexpected(self->adaptSessionError(result.error())));
          return;
        }
        completionHandler(handle(*result));
      });
}

// MARK: Listing

SyncCloudFolderItems SyncCloudClient::folderItems(const SyncItem& folder,
                                                  const cloudfs::ListingResponse& listing,
                                                  std::string version) const {
  SyncCloudFolderItems items;
  items.version = std::move(version);
  items.folderItem = folder;
  const auto folderPermission = permissionFromText(listing.permission);
  items.folderItem.cloudIdentifier = common::CloudFolderIdentifier{listing.folderID};
  items.folderItem.permission = folderPermission;
  items.folderItem.uploadDate = base::dateFromMillisecondsSince1970(listing.uploaded);
  items.folderItem.contentModificationDate =
      base::dateFromMillisecondsSince1970(listing.lastModified);
  if (listing.moveDeletePermitted) {
    if (*listing.moveDeletePermitted) {
      items.folderItem.flags.remove(common::SyncItemFlags::isFixedFolder);
    } else {
      items.folderItem.flags.insert(common::SyncItemFlags::isFixedFolder);
    }
  }

  const common::SyncFolderIdentifier parent =
      folder.itemIdentifier.folder()
          ? *folder.itemIdentifier.folder()
          : common::SyncFolderIdentifier{folder.itemIdentifier.rawValue()};

  // Children this drive already stores keep their identity and local state.
  std::vector<common::CloudItemIdentifier> cloudIdentifiers;
  for (const auto& entry : listing.folders) {
    cloudIdentifiers.emplace_back(common::CloudFolderIdentifier{entry.folderID});
  }
  for (const auto& entry : listing.files) {
    cloudIdentifiers.emplace_back(common::CloudGroupIdentifier{entry.groupID});
  }
  // One entry per listed child when the store could be read, none otherwise.
  std::vector<std::optional<SyncItem>> stored;
  if (syncItemStorage_ && !cloudIdentifiers.empty()) {
    if (auto found = syncItemStorage_->findAllByCloudIdentifier(cloudIdentifiers)) {
      if (found->size() == cloudIdentifiers.size()) stored = std::move(*found);
    } else {
      logger_.warning("Reading listed items from the store failed",
                      base::LoggerMetadata{{"error", found.error().description()}});
    }
  }
  std::optional<SyncItem> none;
  auto storedAt = [&](std::size_t index) -> std::optional<SyncItem>& {
    return index < stored.size() ? stored[index] : none;
  };

  items.childFolderItems.reserve(listing.folders.size());
  items.childFileItems.reserve(listing.files.size());
  std::size_t index = 0;
  for (const auto& entry : listing.folders) {
    auto& known = storedAt(index++);
    SyncItem item;
    if (known && known->isFolder()) {
      item = std::move(*known);
    } else {
      item.itemIdentifier = common::SyncFolderIdentifier{base::makeUuid()};
      item.isMaterialized = false;
    }
    item.parentItemIdentifier = parent;
    item.filename = entry.name;
    item.cloudIdentifier = common::CloudFolderIdentifier{entry.folderID};
    item.permission = permissionFromText(entry.permission);
    item.uploadDate = base::dateFromMillisecondsSince1970(entry.uploaded);
    item.contentModificationDate = base::dateFromMillisecondsSince1970(entry.lastModified);
    if (entry.moveDeletePermitted.value_or(true)) {
      item.flags.remove(common::SyncItemFlags::isFixedFolder);
    } else {
      item.flags.insert(common::SyncItemFlags::isFixedFolder);
    }
    item.hasStandardUserAccess = indicator(entry.visualIndicators, "standardUserAccess");
    item.isProjectFolder = indicator(entry.visualIndicators, "projectFolder");
    item.isDocumentRoom = indicator(entry.visualIndicators, "documentRoomFolder");
    items.childFolderItems.push_back(std::move(item));
  }
  for (const auto& entry : listing.files) {
    auto& known = storedAt(index++);
    SyncItem item;
    if (known && !known->isFolder()) {
      item = std::move(*known);
    } else {
      item.itemIdentifier = common::SyncFileIdentifier::make();
      item.isMaterialized = false;
    }
    item.parentItemIdentifier = parent;
    item.filename = entry.name;
    item.cloudIdentifier = common::CloudGroupIdentifier{entry.groupID};
    // Files inherit the permission of the folder they are listed in.
    item.permission = folderPermission;
    item.contentVersion = common::CloudEntryIdentifier{entry.entryID};
    item.contentSize = entry.size;
    item.contentChecksum = entry.checksum;
    item.author = entry.uploadedBy;
    item.uploadDate = base::dateFromMillisecondsSince1970(entry.uploaded);
    item.contentModificationDate = base::dateFromMillisecondsSince1970(entry.lastModified);
    // The listing says whether a lock exists, not who holds it: a known holder stays, an
    // unlocked file has none, and a new lock has a holder not known yet (identifier 0, no
    // names) until the lock refresh names it.
    if (!entry.locked) {
      item.lockInfo.reset();
    } else if (!item.lockInfo) {
      item.lockInfo = common::CloudLockInfo{};
      item.lockInfo->collaborationToken = entry.collaboration;
    } else if (entry.collaboration) {
      item.lockInfo->collaborationToken = entry.collaboration;
    }
    items.childFileItems.push_back(std::move(item));
  }
  return items;
}

cloudfs::CloudFSSessionTask SyncCloudClient::enumerateItems(
    const SyncItem& folder, std::optional<std::string> previousVersion,
    Completion<SyncCloudListing> completionHandler) {
  auto folderID = cloudFolderID(folder);
  if (!folderID) return failUnsent(folder, std::move(completionHandler));
  cloudfs::ListingByIdRequest request(*folderID);
  request.lastETag = std::move(previousVersion);
  request.includeChecksum = true;
  request.includeUploadedBy = true;
  request.includeCollaboration = true;
  request.includeStandardUser = true;
  request.includeProjectFolder = true;
  request.includeDocumentRoom = true;
  return send<SyncCloudListing>(request, "Listing", listingHandler(folder),
                                std::move(completionHandler));
}

cloudfs::CloudFSSessionTask SyncCloudClient::enumerateDriveRoot(
    const SyncItem& root, Completion<SyncCloudListing> completionHandler) {
  cloudfs::ListingByPathRequest request(drive_.cloudStartPath.empty() ? std::string("/")
                                                                      : drive_.cloudStartPath);
  request.includeChecksum = true;
  request.includeUploadedBy = true;
  request.includeCollaboration = true;
  request.includeMoveDeletePermittedInfo = true;
  request.includeStandardUser = true;
  request.includeProjectFolder = true;
  return send<SyncCloudListing>(request, "Listing", listingHandler(root),
                                std::move(completionHandler));
}

std::function<SyncCloudResult<SyncCloudListing>(const CloudFSResponse&)>
SyncCloudClient::listingHandler(const SyncItem& folder) {
  return [self = shared_from_this(),
          folder](const CloudFSResponse& response) -> SyncCloudResult<SyncCloudListing> {
    const auto& logger = self->logger_;
    base::LoggerMetadata where{{"itemID", identifierText(folder)},
                               {"itemCloudID", cloudIdentifierText(folder)}};
    switch (response.httpResponse.statusCode) {
      case 200: {
        auto listing = cloudfs::ListingResponse::decode(response);
        auto version = listing ? cloudfs::ListingResponse::entityTag(response)
                               : std::expected<std::string, cloudfs::CloudFSError>(
                                     std::unexpected(listing.error()));
        if (!listing || !version) {
          auto metadata = where;
          metadata.set("error", (listing ? version.error() : listing.error()).description());
          logger.error("Unable to decode listing response", std::move(metadata));
          return std::unexpected(SyncError(Code::badServerResponse));
        }
        auto items = self->folderItems(folder, *listing, *version);
        auto metadata = where;
        metadata.set("path", listing->path);
        metadata.set("filesCount", items.childFileItems.size());
        metadata.set("foldersCounts", items.childFolderItems.size());
        metadata.set("version", items.version);
        logger.info("Listed folder", std::move(metadata));
        return SyncCloudListing(std::move(items));
      }
      case 304:
        logger.debug("Folder not modified since last listing", std::move(where));
        return SyncCloudListing(SyncCloudNotModified{});
      case 404:
        logger.warning("Folder not found on server", std::move(where));
        return std::unexpected(SyncError::noSuchItem(folder.itemIdentifier));
      case 403: {
        if (auto locked =
                self->checkForbiddenStatusCode(response, bodyText(response), folder.filename)) {
          return std::unexpected(*locked);
        }
        logger.warning("Permission denied for folder listing", std::move(where));
        return std::unexpected(SyncError(Code::permissionDenied));
      }
      default:
        return std::unexpected(self->errorForOtherStatus(response, "Listing"));
    }
  };
}

// MARK: Metadata

cloudfs::CloudFSSessionTask SyncCloudClient::folderMetadata(
    const SyncItem& folder, Completion<cloudfs::FolderMetadataResponse> completionHandler) {
  auto folderID = cloudFolderID(folder);
  if (!folderID) return failUnsent(folder, std::move(completionHandler));
  cloudfs::FolderMetadataRequest request(*folderID);
  request.options.includePermissions = true;
  request.options.includeLocks = true;
  return send<cloudfs::FolderMetadataResponse>(
      request, "Folder metadata",
      [self = shared_from_this(), folder](
          const CloudFSResponse& response) -> SyncCloudResult<cloudfs::FolderMetadataResponse> {
        return self->decoded<cloudfs::FolderMetadataResponse>(response, folder, "Folder metadata");
      },
      std::move(completionHandler));
}

cloudfs::CloudFSSessionTask SyncCloudClient::fileMetadata(
    const SyncItem& file, Completion<cloudfs::FileMetadataResponse> completionHandler) {
  auto groupID = cloudGroupID(file);
  if (!groupID) return failUnsent(file, std::move(completionHandler));
  cloudfs::FileMetadataRequest request(*groupID);
  request.includePermission = true;
  request.includeLocks = true;
  return send<cloudfs::FileMetadataResponse>(
      request, "File metadata",
      [self = shared_from_this(),
       file](const CloudFSResponse& response) -> SyncCloudResult<cloudfs::FileMetadataResponse> {
        return self->decoded<cloudfs::FileMetadataResponse>(response, file, "File metadata");
      },
      std::move(completionHandler));
}

cloudfs::CloudFSSessionTask SyncCloudClient::itemMetadata(
    const SyncItem& item, std::set<cloudfs::FSIRequestField> fields,
    Completion<cloudfs::FSIItemMetadataVersionResponse> completionHandler) {
  if (!item.cloudIdentifier) return failUnsent(item, std::move(completionHandler));
  cloudfs::FSIItemMetadataByIDRequest request(*item.cloudIdentifier, std::move(fields));
  return send<cloudfs::FSIItemMetadataVersionResponse>(
      request, "Item metadata",
      [self = shared_from_this(), item](const CloudFSResponse& response)
          -> SyncCloudResult<cloudfs::FSIItemMetadataVersionResponse> {
        return self->decoded<cloudfs::FSIItemMetadataVersionResponse>(response, item,
                                                                      "Item metadata");
      },
      std::move(completionHandler));
}

template <class Response>
SyncCloudResult<Response> SyncCloudClient::decoded(const CloudFSResponse& response,
                                                   const SyncItem& item,
                                                   std::string_view operationName) const {
  const int status = response.httpResponse.statusCode;
  if (status >= 200 && status < 300) {
    auto value = Response::decode(response);
    if (value) return std::move(*value);
    logger_.error("Unable to decode server response",
                  base::LoggerMetadata{{"operationName", operationName},
                                       {"itemID", identifierText(item)},
                                       {"error", value.error().description()}});
    return std::unexpected(SyncError(Code::badServerResponse));
  }
  if (status == 404) {
    logger_.warning(
        "Item not found on server",
        base::LoggerMetadata{{"operationName", operationName}, {"itemID", identifierText(item)}});
    return std::unexpected(SyncError::noSuchItem(item.itemIdentifier));
  }
  return std::unexpected(failedStatus(response, operationName, item.filename, std::nullopt));
}

template <class T>
cloudfs::CloudFSSessionTask SyncCloudClient::failUnsent(const SyncItem& item,
                                                        Completion<T> completionHandler) {
  failWithoutCloudIdentifier<T>(item, std::move(completionHandler));
  return {};
}

// MARK: Namespace changes

cloudfs::CloudFSSessionTask SyncCloudClient::createFolder(const SyncItem& parentItem,
                                                          std::string filename,
                                                          Completion<SyncItem> completionHandler) {
  auto parentID = cloudFolderID(parentItem);
  if (!parentID) return failUnsent(parentItem, std::move(completionHandler));
  cloudfs::CreateFolderRequest request(*parentID, filename);
  return send<SyncItem>(
      request, "Create folder",
      [self = shared_from_this(), parentItem,
       filename](const CloudFSResponse& response) -> SyncCloudResult<SyncItem> {
        const auto parent = *parentItem.itemIdentifier.folder();
        const int status = response.httpResponse.statusCode;
        if (status == 404) {
          self->logger_.warning("Parent folder not found on server",
                                base::LoggerMetadata{{"itemID", identifierText(parentItem)}});
          return std::unexpected(SyncError::noSuchItem(parentItem.itemIdentifier));
        }
        if (status < 200 || status >= 300) {
          return std::unexpected(self->failedStatus(response, "Create folder", filename, parent));
        }
        auto created = cloudfs::CreateFolderResponse::decode(response);
        if (!created) {
          self->logger_.error("Unable to decode folder creation response",
                              base::LoggerMetadata{{"error", created.error().description()}});
          return std::unexpected(SyncError(Code::badServerResponse));
        }
        SyncItem folder;
        folder.itemIdentifier = common::SyncFolderIdentifier{base::makeUuid()};
        folder.parentItemIdentifier = parent;
        folder.filename = filename;
        folder.cloudIdentifier = common::CloudFolderIdentifier{created->folderID};
        folder.permission = parentItem.permission;
        folder.uploadDate = std::chrono::system_clock::now();
        // The answer may carry the folder's metadata; the new item takes what it says.
        if (auto metadata = cloudfs::FolderMetadataResponse::decode(response)) {
          if (metadata->permission) folder.permission = permissionFromText(*metadata->permission);
          folder.uploadDate = base::dateFromMillisecondsSince1970(metadata->uploaded);
          folder.contentModificationDate =
              base::dateFromMillisecondsSince1970(metadata->lastModified);
        }
        self->logger_.info("Created folder",
                           base::LoggerMetadata{{"itemID", folder.itemIdentifier.description()},
                                                {"itemCloudID", cloudIdentifierText(folder)},
                                                {"parentID", parent.description()}});
        return folder;
      },
      std::move(completionHandler));
}

cloudfs::CloudFSSessionTask SyncCloudClient::moveItem(const SyncItem& item,
                                                      std::optional<SyncItem> newParent,
                                                      std::optional<std::string> newFilename,
                                                      std::optional<std::string> lockToken,
                                                      Completion<SyncItem> completionHandler) {
  if (!item.cloudIdentifier) return failUnsent(item, std::move(completionHandler));
  std::optional<std::string> newParentID;
  if (newParent) {
    newParentID = cloudFolderID(*newParent);
    if (!newParentID) return failUnsent(*newParent, std::move(completionHandler));
  }
  auto request =
      cloudfs::MoveItemRequest::Builder{*item.cloudIdentifier, newParentID, newFilename}.build(
          std::move(lockToken));
  if (!request) {
    logger_.info("Neither renaming or reparenting specified, not moving",
                 base::LoggerMetadata{{"itemID", identifierText(item)}});
    cfsSession()->callbackQueue()->async(
        [completionHandler = std::move(completionHandler), item] { completionHandler(item); });
    return {};
  }
  std::optional<common::SyncFolderIdentifier> destination =
      newParent ? std::optional(*newParent->itemIdentifier.folder())
                : std::optional(item.parentItemIdentifier);
  return send<SyncItem>(
      *request, "Move",
      [self = shared_from_this(), item, newParent, newFilename,
       destination](const CloudFSResponse& response) -> SyncCloudResult<SyncItem> {
        const int status = response.httpResponse.statusCode;
        const std::string name = newFilename.value_or(item.filename);
        if (status == 404) {
          self->logger_.warning("Item to move not found on server",
                                base::LoggerMetadata{{"itemID", identifierText(item)}});
          return std::unexpected(SyncError::noSuchItem(item.itemIdentifier));
        }
        if (status < 200 || status >= 300) {
          return std::unexpected(self->failedStatus(response, "Move", name, destination));
        }
        SyncItem moved = item;
        moved.filename = name;
        if (newParent) moved.parentItemIdentifier = *newParent->itemIdentifier.folder();
        self->logger_.info("Moved item", base::LoggerMetadata{
                                             {"itemID", identifierText(item)},
                                             {"renamed", newFilename.has_value()},
                                             {"reparented", newParent.has_value()},
                                         });
        return moved;
      },
      std::move(completionHandler));
}

cloudfs::CloudFSSessionTask SyncCloudClient::copyItem(
    const SyncItem& item, std::string destination,
    std::optional<cloudfs::PermissionHandling> permissions, Completion<void> completionHandler) {
  if (!item.cloudIdentifier) return failUnsent(item, std::move(completionHandler));
  cloudfs::CopyItemByIdRequest request(*item.cloudIdentifier, destination, permissions);
  return send<void>(
      request, "Copy",
      [self = shared_from_this(), item,
       destination](const CloudFSResponse& response) -> SyncCloudResult<void> {
        const int status = response.httpResponse.statusCode;
        if (status >= 200 && status < 300) return {};
        if (status == 404) {
          self->logger_.warning("Item to copy not found on server",
                                base::LoggerMetadata{{"itemID", identifierText(item)}});
          return std::unexpected(SyncError::noSuchItem(item.itemIdentifier));
        }
        return std::unexpected(self->failedStatus(response, "Copy", destination, std::nullopt));
      },
      std::move(completionHandler));
}

cloudfs::CloudFSSessionTask SyncCloudClient::duplicateItem(std::string sourceFilePath,
                                                           Completion<void> completionHandler) {
  cloudfs::DuplicateItemRequest request(sourceFilePath);
  return send<void>(
      request, "Duplicate",
      [self = shared_from_this(),
       sourceFilePath](const CloudFSResponse& response) -> SyncCloudResult<void> {
        const int status = response.httpResponse.statusCode;
        if (status >= 200 && status < 300) return {};
        if (status == 404) {
          self->logger_.warning("File to duplicate not found on server",
                                base::LoggerMetadata{{"path", sourceFilePath}});
          return std::unexpected(SyncError(Code::pathNotFound));
        }
        return std::unexpected(
            self->failedStatus(response, "Duplicate", sourceFilePath, std::nullopt));
      },
      std::move(completionHandler));
}

cloudfs::CloudFSSessionTask SyncCloudClient::deleteItem(const SyncItem& item,
                                                        std::optional<std::string> lockToken,
                                                        Completion<void> completionHandler) {
  if (!item.cloudIdentifier) return failUnsent(item, std::move(completionHandler));
  auto handle = [self = shared_from_this(),
                 item](const CloudFSResponse& response) -> SyncCloudResult<void> {
    const int status = response.httpResponse.statusCode;
    const auto& logger = self->logger_;
    base::LoggerMetadata where{{"itemID", identifierText(item)},
                               {"itemCloudID", cloudIdentifierText(item)}};
    if (status >= 200 && status < 300) {
      logger.info("Deleted item", std::move(where));
      return {};
    }
    switch (status) {
      case 404:
        logger.info("Item already deleted on server", std::move(where));
        return {};
      case 403:
        if (auto locked =
                self->checkForbiddenStatusCode(response, bodyText(response), item.filename)) {
          return std::unexpected(*locked);
        }
        logger.warning("Server refused the deletion", std::move(where));
        return std::unexpected(SyncError::deletionRejected(item));
      case 409:
        if (!item.isFolder()) {
          // The file has moved on to another version than the one meant to be deleted.
          logger.warning("File changed on server since the version to delete", std::move(where));
          return std::unexpected(SyncError(Code::entryIDMismatch));
        }
        return std::unexpected(self->errorForOtherStatus(response, "Delete"));
      default:
        return std::unexpected(self->failedStatus(response, "Delete", item.filename, std::nullopt));
    }
  };
  if (item.isFolder()) {
    return send<void>(cloudfs::DeleteFolderRequest(item.cloudIdentifier->rawValue()), "Delete",
                      std::move(handle), std::move(completionHandler));
  } else {
    cloudfs::DeleteFileRequest request(
        item.cloudIdentifier->rawValue(),
        item.contentVersion ? std::optional(item.contentVersion->rawValue) : std::nullopt,
        std::move(lockToken));
    return send<void>(request, "Delete", std::move(handle), std::move(completionHandler));
  }
}

}  // namespace tarnix::fileprovider
