#include "fileprovider/locking/OpenFilesTracker.hpp"

namespace tarnix::fileprovider {

OpenFilesTracker::OpenFilesTracker(
    std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
    std::shared_ptr<base::Clock> clock, base::Logger logger, bool shouldTrackCollaborativeFiles)
    : notificationCenter_(std::move(notificationCenter)),
      clock_(std::move(clock)),
      logger_(std::move(logger)),
      shouldTrackCollaborativeFiles_(shouldTrackCollaborativeFiles) {}

void OpenFilesTracker::setPublisher(std::function<void()> publisher) {
  std::lock_guard lock(mutex_);
  publisher_ = std::move(publisher);
}

bool OpenFilesTracker::maybeTrackFile(const common::SyncFileIdentifier& file,
                                      const std::string& name,
                                      std::optional<base::Date> lastUsedDate,
                                      bool isCollaborative) {
  if (isCollaborative && !shouldTrackCollaborativeFiles_) return false;
  const auto now = clock_->now();
  // A date ahead of the clock counts as now: clocks of processes differ a little.
  if (!lastUsedDate || now - *lastUsedDate > kRecentUse) {
    TLOG_DEBUG(logger_, "LastUsedDate not given or too old to consider the file open.",
               {{"itemID", file.description()}});
    return false;
  }
  logger_.info("Triggering LSOF due to change in LastUsedDate...",
               {{"itemID", file.description()}, {"filename", name}});
  std::function<void()> publisher;
  {
    std::lock_guard lock(mutex_);
    publisher = publisher_;
  }
  if (publisher) publisher();
  if (notificationCenter_) notificationCenter_->post(kTriggerLSOFNotification, file.description());
  return true;
}

}  // namespace tarnix::fileprovider
