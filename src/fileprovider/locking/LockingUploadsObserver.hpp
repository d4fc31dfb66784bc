#pragma once
// Feeds the drive's uploads into the locking upload tracker: the first progress report of an
// upload ("com.tarnix.fileUploadProgress") starts it with its size, its completion
// ("com.tarnix.fileUploadCompleted") ends it as succeeded or failed. Reports of other drives,
// and of paths that are no file of this drive, are ignored.
//
// Threads: the notification centre's; the observation ends with the object.

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "base/Clock.hpp"
#include "base/Logger.hpp"
#include "common/Drive.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/locking/LockingUploadTracker.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::fileprovider {

class LockingUploadsObserver {
 public:
  LockingUploadsObserver(common::Drive drive, std::shared_ptr<common::SyncItemStorage> itemStorage,
                         std::shared_ptr<LockingUploadTracker> uploadTracker,
                         std::shared_ptr<base::Clock> clock, base::Logger logger);

  /// Starts observing `center`.
  void observe(platform::DistributedNotificationCenter& center);

  void progressReported(const std::string& json);
  void completionReported(const std::string& json);

 private:
  /// The file at the cloud path `location`, when it is one of this drive's.
  std::optional<common::SyncFileIdentifier> fileAt(const std::string& location) const;

  common::Drive drive_;
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::shared_ptr<LockingUploadTracker> uploadTracker_;
  std::shared_ptr<base::Clock> clock_;
  base::Logger logger_;
  std::mutex mutex_;
  std::set<std::string> running_;                    // guarded by mutex_
  std::vector<std::shared_ptr<void>> observations_;  // guarded by mutex_
};

}  // namespace tarnix::fileprovider
