#include "fileprovider/locking/LockingUploadTracker.hpp"

namespace tarnix::fileprovider {

bool LockingUploadTracker::needsLock(const TrackedUpload& upload,
                                     const Configuration& configuration, base::Date now) {
  if (upload.endTime && !upload.failed) return false;
  if (upload.endTime && now - *upload.endTime >= configuration.failureRetention) return false;
  const auto runningUntil = upload.endTime.value_or(now);
  return upload.fileSize >= configuration.sizeThreshold ||
         runningUntil - upload.startTime >= configuration.durationThreshold;
}

LockingUploadTracker::LockingUploadTracker(Configuration configuration, base::Logger logger,
                                           bool isEnabled)
    : configuration_(configuration), logger_(std::move(logger)), isEnabled_(isEnabled) {}

void LockingUploadTracker::setLockSyncSignal(std::function<void()> signal) {
  std::lock_guard lock(mutex_);
  lockSyncSignal_ = std::move(signal);
}

void LockingUploadTracker::apply(const UploadChange& change, base::Date now) {
  if (!isEnabled_) return;
  std::function<void()> signal;
  {
    std::lock_guard lock(mutex_);
    const bool before = uploads_.contains(change.itemIdentifier) &&
                        needsLock(uploads_[change.itemIdentifier], configuration_, now);
    if (change.kind == UploadChange::Kind::started) {
      TrackedUpload upload;
      upload.itemIdentifier = change.itemIdentifier;
      upload.source = change.source;
      upload.startTime = now;
      upload.fileSize = change.fileSize;
      upload.cloudPath = change.cloudPath;
      uploads_[change.itemIdentifier] = std::move(upload);
    } else if (auto it = uploads_.find(change.itemIdentifier); it != uploads_.end()) {
      it->second.endTime = now;
      it->second.failed = change.kind == UploadChange::Kind::failed;
    }
    auto it = uploads_.find(change.itemIdentifier);
    const bool after = it != uploads_.end() && needsLock(it->second, configuration_, now);
    if (it != uploads_.end()) it->second.didRequestLock = after;
    if (before != after) signal = lockSyncSignal_;
  }
  if (signal) signal();
}

std::vector<OngoingUpload> LockingUploadTracker::ongoingUploads(base::Date now) {
  std::lock_guard lock(mutex_);
  std::vector<OngoingUpload> ongoing;
  for (auto it = uploads_.begin(); it != uploads_.end();) {
    auto& upload = it->second;
    upload.didRequestLock = needsLock(upload, configuration_, now);
    if (upload.didRequestLock) {
      ongoing.push_back({upload.itemIdentifier, upload.fileSize, upload.cloudPath});
    } else if (upload.endTime) {
      it = uploads_.erase(it);
      continue;
    }
    ++it;
  }
  return ongoing;
}

}  // namespace tarnix::fileprovider
