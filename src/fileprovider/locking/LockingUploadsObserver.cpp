#include "fileprovider/locking/LockingUploadsObserver.hpp"

#include "base/JSONValue.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"

namespace tarnix::fileprovider {

using Change = LockingUploadTracker::UploadChange;

LockingUploadsObserver::LockingUploadsObserver(common::Drive drive,
                                               std::shared_ptr<common::SyncItemStorage> itemStorage,
                                               std::shared_ptr<LockingUploadTracker> uploadTracker,
                                               std::shared_ptr<base::Clock> clock,
                                               base::Logger logger)
    : drive_(std::move(drive)),
      itemStorage_(std::move(itemStorage)),
      uploadTracker_(std::move(uploadTracker)),
      clock_(std::move(clock)),
      logger_(std::move(logger)) {}

void LockingUploadsObserver::observe(platform::DistributedNotificationCenter& center) {
  auto progress = center.addObserver(
      kFileUploadProgressNotification,
      [this](const std::string&, const std::string& object) { progressReported(object); });
  auto completed = center.addObserver(
      kFileUploadCompletedNotification,
      [this](const std::string&, const std::string& object) { completionReported(object); });
  std::lock_guard lock(mutex_);
  observations_.push_back(std::move(progress));
  observations_.push_back(std::move(completed));
}

std::optional<common::SyncFileIdentifier> LockingUploadsObserver::fileAt(
    const std::string& location) const {
  std::string start = drive_.cloudStartPath;
  while (start.size() > 1 && start.back() == '/') start.pop_back();
  if (start == "/") start.clear();
  if (!location.starts_with(start + "/")) return std::nullopt;
  auto item = itemStorage_->findItem(location.substr(start.size()));
  if (!item || !*item) return std::nullopt;
  const auto* file = (*item)->itemIdentifier.file();
  return file ? std::optional(*file) : std::nullopt;
}

void LockingUploadsObserver::progressReported(const std::string& json) {
  auto info = base::parseJSON(json);
  if (!info || !info->is_object() ||
      base::jsonString(*info, "driveIdentifier") != drive_.identifier) {
    return;
  }
  const auto path = base::jsonString(*info, "filePath").value_or("");
  {
    std::lock_guard lock(mutex_);
    if (!running_.insert(path).second) return;
  }
  auto file = fileAt(path);
  if (!file) return;
  Change change;
  change.itemIdentifier = *file;
  change.kind = Change::Kind::started;
  change.fileSize = base::jsonInt(*info, "contentSize").value_or(0);
  change.cloudPath = path;
  uploadTracker_->apply(change, clock_->now());
}

void LockingUploadsObserver::completionReported(const std::string& json) {
  auto event = base::parseJSON(json);
  if (!event || !event->is_object() ||
      base::jsonString(*event, "driveIdentifier") != drive_.identifier) {
    return;
  }
  const auto path = base::jsonString(*event, "location").value_or("");
  {
    std::lock_guard lock(mutex_);
    running_.erase(path);
  }
  auto file = fileAt(path);
  if (!file) return;
  Change change;
  change.itemIdentifier = *file;
  change.kind = base::jsonBool(*event, "successful").value_or(false) ? Change::Kind::succeeded
                                                                     : Change::Kind::failed;
  uploadTracker_->apply(change, clock_->now());
}

}  // namespace tarnix::fileprovider
