#include "fileprovider/upload/UploadNotifier.hpp"

#include <mutex>

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
  struct Connection {
    std::once_flag once;
    std::shared_ptr<platform::DesktopNotifications> notifications;
  };
  auto connection = std::make_shared<Connection>();
  return [connection, logger](const UploadFailureNotification& notification) {
    std::call_once(connection->once, [&] {
      auto connected =
          platform::DesktopNotifications::connectSessionBus(logger.child("DesktopNotifications"));
      if (!connected) {
        logger.warning("No desktop notifications: " + connected.error());
        return;
      }
      connection->notifications = std::move(*connected);
    });
    logger.info("Upload failure shown to the user",
                {{"title", notification.title}, {"category", notification.categoryIdentifier}});
    if (!connection->notifications) return;
    connection->notifications->show(
        {"Tarnix", notification.title, notification.body, "transfer.error"});
  };
}

}  // namespace tarnix::fileprovider
