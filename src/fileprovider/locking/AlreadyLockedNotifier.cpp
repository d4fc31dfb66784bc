#include "fileprovider/locking/AlreadyLockedNotifier.hpp"

#include "common/LockingError.hpp"
#include "platform/DesktopNotifications.hpp"

namespace tarnix::fileprovider {

AlreadyLockedNotifier::AlreadyLockedNotifier(UserNotificationCenter userNotificationCenter,
                                             base::Logger logger)
    : userNotificationCenter_(std::move(userNotificationCenter)), logger_(std::move(logger)) {}

bool AlreadyLockedNotifier::fileIsAlreadyLocked(const common::SyncFileIdentifier& file,
                                                const std::string& filename,
                                                const common::CloudLockInfo& holder) {
  {
    std::lock_guard lock(mutex_);
    if (!failedToLock_.insert(file).second) return false;
  }
  AlreadyLockedNotification notification;
  notification.title = filename;
  notification.body = common::LockingError::alreadyLocked(holder).description();
  logger_.info("File already locked by somebody else reported",
               {{"itemID", file.description()}, {"lockOwner", holder.identifier}});
  if (userNotificationCenter_) userNotificationCenter_(notification);
  return true;
}

void AlreadyLockedNotifier::forget(const common::SyncFileIdentifier& file) {
  std::lock_guard lock(mutex_);
  failedToLock_.erase(file);
}

AlreadyLockedNotifier::UserNotificationCenter desktopAlreadyLockedCenter(base::Logger logger) {
  auto show = platform::lazySessionBusNotifications(std::move(logger));
  return [show](const AlreadyLockedNotification& notification) {
    show({"Tarnix", notification.title, notification.body, "transfer"});
  };
}

}  // namespace tarnix::fileprovider
