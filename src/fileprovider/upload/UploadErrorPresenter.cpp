#include "fileprovider/upload/UploadErrorPresenter.hpp"

namespace tarnix::fileprovider {

using Reason = common::UploadRejectionReason;
using Code = common::SyncError::Code;

namespace {

std::string reasonText(Reason reason) {
  switch (reason) {
    case Reason::prohibitedCharacterInFilename:
      return "The name contains a character the cloud does not allow.";
    case Reason::prohibitedUnicodeInFilename:
      return "The name contains a control or unsupported character.";
    case Reason::filenameTooLong:
      return "The name is longer than 245 bytes.";
    case Reason::pathTooLong:
      return "The path is too long.";
    case Reason::excludedFilenameExtension:
      return "Files of this type are not allowed on this cloud.";
    case Reason::invalidFilename:
      return "The name starts or ends with a space or ends with a dot.";
    case Reason::contentTooLarge:
      return "The file is larger than the cloud allows.";
    case Reason::storageLimitReached:
      return "The cloud storage is full.";
    case Reason::insufficientPermissions:
      return "You may not add files here.";
    case Reason::checksumMismatch:
      return "The content arrived damaged; it will be sent again.";
    case Reason::invalidDestination:
      return "Files cannot be saved in this folder.";
    default:
      return "The cloud refused the file.";
  }
}

}  // namespace

std::optional<UploadFailureNotification> uploadFailureNotification(
    const std::string& driveIdentifier, const std::string& filename, const SyncCloudError& error) {
  if (error.isCancellation()) return std::nullopt;
  UploadFailureNotification notification;
  notification.driveIdentifier = driveIdentifier;
  notification.title = "Could not upload \"" + filename + "\"";
  const auto* syncError = error.syncError();
  if (!syncError) {
    notification.body = "The upload failed: " + error.description();
  } else if (syncError->code() == Code::uploadRejected) {
    notification.body = reasonText(syncError->rejectionReason());
  } else if (syncError->code() == Code::chunkUploadInProgress ||
             syncError->code() == Code::serverUnreachable ||
             syncError->code() == Code::throttledByServer) {
    return std::nullopt;  // passing states: the upload is tried again
  } else {
    notification.body = syncError->description();
  }
  return notification;
}

UploadErrorPresenter::UploadErrorPresenter(
    std::string driveIdentifier, std::string host,
    std::shared_ptr<cloudfs::NetworkReachability> networkStatusMonitor,
    UserNotificationCenter userNotificationCenter, base::Logger logger)
    : driveIdentifier_(std::move(driveIdentifier)),
      host_(std::move(host)),
      networkStatusMonitor_(std::move(networkStatusMonitor)),
      userNotificationCenter_(std::move(userNotificationCenter)),
      logger_(std::move(logger)) {}

void UploadErrorPresenter::presentUploadError(const std::string& filename,
                                              const SyncCloudError& error) const {
  if (networkStatusMonitor_ &&
      networkStatusMonitor_->status(host_) == cloudfs::NetworkReachabilityStatus::noConnection) {
    logger_.info("Upload failed while offline; no notification", {{"filename", filename}});
    return;
  }
  auto notification = uploadFailureNotification(driveIdentifier_, filename, error);
  if (!notification || !userNotificationCenter_) return;
  userNotificationCenter_(*notification);
}

}  // namespace tarnix::fileprovider
