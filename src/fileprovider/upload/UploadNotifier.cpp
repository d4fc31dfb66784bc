#include "fileprovider/upload/UploadNotifier.hpp"

#include "platform/DesktopNotifications.hpp"

namespace tarnix::fileprovider {

void UploadNotifier::sendProgressNotification(const UploadInfo& info) const {
  if (notificationCenter_) notificationCenter_->post(kFileUploadProgressNotification, info.json());
}

void UploadNotifier::sendCompletedNotification(const UploadCompletedEvent& event) const {
  logger_.info(event.successful ? "Upload completed" : "Upload failed",
               {{"location", event.location}});
  if (notificationCenter_)
    notificationCenter_->post(kFileUploadCompletedNotification, event.json());
}

UploadErrorPresenter::UserNotificationCenter desktopUploadFailureCenter(base::Logger logger) {
  auto show = platform::lazySessionBusNotifications(logger);
  return [show, logger](const UploadFailureNotification& notification) {
    logger.info("Upload failure shown to the user",
                {{"title", notification.title}, {"category", notification.categoryIdentifier}});
    show({"Tarnix", notification.title, notification.body, "transfer.error"});
  };
}

}  // namespace tarnix::fileprovider
