#pragma once
// Tells the desktop application how uploads go: progress ("com.tarnix.fileUploadProgress") and
// completion ("com.tarnix.fileUploadCompleted") as distributed notifications whose object is
// the JSON of UploadInfo or UploadCompletedEvent. Failed uploads also reach the user as desktop
// notifications, where the session bus has a notification server (see
// desktopUploadFailureCenter).
//
// Thread-safe: no mutable state.

#include <memory>

#include "base/Logger.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"
#include "fileprovider/upload/UploadErrorPresenter.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::fileprovider {

class UploadNotifier {
 public:
  /// Without a center nothing is posted.
  UploadNotifier(std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
                 base::Logger logger)
      : notificationCenter_(std::move(notificationCenter)), logger_(std::move(logger)) {}

  void sendProgressNotification(const UploadInfo& info) const;
  void sendCompletedNotification(const UploadCompletedEvent& event) const;

 private:
  std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter_;
  base::Logger logger_;
};

/// Shows each upload failure as a desktop notification (org.freedesktop.Notifications). The
/// session bus is reached at the first failure; without one the failure is logged ("No desktop
/// notifications: ...") and nothing is shown, now or later.
UploadErrorPresenter::UserNotificationCenter desktopUploadFailureCenter(base::Logger logger);

}  // namespace tarnix::fileprovider
