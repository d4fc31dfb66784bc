#include "common/SyncError.hpp"

#include <array>

#include "common/SyncItem.hpp"

namespace tarnix::common {

std::string_view description(UploadRejectionReason reason) {
  static constexpr std::array<std::string_view, 17> kNames{"unknownReason",
                                                           "prohibitedCharacterInFilename",
                                                           "prohibitedUnicodeInFilename",
                                                           "filenameTooLong",
                                                           "pathTooLong",
                                                           "excludedFilenameExtension",
                                                           "invalidFilename",
                                                           "contentTooLarge",
                                                           "malwareDetected",
                                                           "googleDocUnsupported",
                                                           "invalidDestination",
                                                           "tooManyFiles",
                                                           "storageLimitReached",
                                                           "unsupportedContentType",
                                                           "aliasFile",
                                                           "insufficientPermissions",
                                                           "checksumMismatch"};
  const auto index = static_cast<size_t>(reason);
  return index < kNames.size() ? kNames[index] : "unknownReason";
}

SyncError SyncError::noSuchItem(SyncItemIdentifier withItemIdentifier) {
  SyncError error(Code::noSuchItem);
  error.itemIdentifier_ = std::move(withItemIdentifier);
  return error;
}

SyncError SyncError::deletionRejected(SyncItem item) {
  SyncError error(Code::deletionRejected);
  error.item_ = std::make_shared<const SyncItem>(std::move(item));
  return error;
}

SyncError SyncError::uploadRejected(UploadRejectionReason reason) {
  SyncError error(Code::uploadRejected);
  error.reason_ = reason;
  return error;
}

SyncError SyncError::filenameCollision(SyncItem with) {
  SyncError error(Code::filenameCollision);
  error.item_ = std::make_shared<const SyncItem>(std::move(with));
  return error;
}

std::string SyncError::description() const {
  switch (code_) {
    case Code::noSuchItem:
      return "No such item (" + (itemIdentifier_ ? itemIdentifier_->description() : "") + ")";
    case Code::deletionRejected:
      return "Deletion rejected" + (item_ ? " for " + item_->itemIdentifier.description() : "");
    case Code::uploadRejected:
      return "Upload rejected: " + std::string(common::description(reason_));
    case Code::filenameCollision:
      return "Filename collision";
    case Code::noCloudIdentifier:
      return "No cloud identifier";
    case Code::pageMarkerExpired:
      return "Page marker expired";
    case Code::permissionDenied:
      return "Permission denied";
    case Code::authenticationRequired:
      return "Authentication required";
    case Code::directoryNotEmpty:
      return "Directory is not empty";
    case Code::fileLocked:
      return "File locked";
    case Code::throttledByServer:
      return "Throttled by server";
    case Code::badServerResponse:
      return "Bad server response";
    case Code::serverUnreachable:
      return "Server is unreachable";
    case Code::invalidFilePath:
      return "Invalid file path";
    case Code::chunkUploadInProgress:
      return "The upload encountered a problem and will be re-attempted automatically";
    case Code::offlineItemBroken:
      return "Attributes of offline item are broken";
    case Code::pathNotFound:
      return "Path not found";
    case Code::brokenTreeHierarchy:
      return "Broken tree hierarchy";
    case Code::entryIDMismatch:
      return "Entry ID mismatch";
  }
  return "Unknown sync error";
}

bool SyncError::isUnexpectedInEnumeration() const {
  return code_ == Code::noSuchItem || code_ == Code::permissionDenied;
}

bool SyncError::operator==(const SyncError& other) const {
  if (code_ != other.code_ || itemIdentifier_ != other.itemIdentifier_ ||
      reason_ != other.reason_) {
    return false;
  }
  if (!item_ || !other.item_) return item_ == other.item_;
  return *item_ == *other.item_;
}

}  // namespace tarnix::common
