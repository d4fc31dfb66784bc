#pragma once
// Tells the user once per file that it could not be locked because somebody else holds it:
// a desktop notification (org.freedesktop.Notifications, where the session bus has one) with
// the holder's name. A file is reported again only after `forget` (its lock was taken after
// all, or the user unlocked it).
//
// Threads: any thread (one mutex, a leaf lock; the notification is shown outside it).

#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "base/Logger.hpp"
#include "common/ItemLocks.hpp"

namespace tarnix::fileprovider {

struct AlreadyLockedNotification {
  std::string title;
  std::string body;
  bool operator==(const AlreadyLockedNotification&) const = default;
};

class AlreadyLockedNotifier {
 public:
  using UserNotificationCenter = std::function<void(const AlreadyLockedNotification&)>;

  /// Without a center the reports are only logged.
  AlreadyLockedNotifier(UserNotificationCenter userNotificationCenter, base::Logger logger);

  /// Returns whether the user was told (false: this file was reported already).
  bool fileIsAlreadyLocked(const common::SyncFileIdentifier& file, const std::string& filename,
                           const common::CloudLockInfo& holder);
  void forget(const common::SyncFileIdentifier& file);

 private:
  UserNotificationCenter userNotificationCenter_;
  base::Logger logger_;
  std::mutex mutex_;
  std::set<common::SyncFileIdentifier> failedToLock_;  // guarded by mutex_
};

/// Shows the notifications on the session bus; connected at the first report ("No desktop
/// notifications: ..." when there is no bus or server).
AlreadyLockedNotifier::UserNotificationCenter desktopAlreadyLockedCenter(base::Logger logger);

}  // namespace tarnix::fileprovider
