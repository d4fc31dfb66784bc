#pragma once
// Uploads that keep their file locked: a large upload (from 100 MiB) or a long one (from 30 s)
// wants its file locked while it runs, so that nobody changes the file under it; a failed one
// keeps that want for 5 minutes, long enough for its retry; a finished one lets go. The
// synchroniser locks what `ongoingUploads` names and does not release automatic locks that an
// upload still needs; a change of that set fires the lock-sync signal.
//
// Threads: any thread (one mutex, a leaf lock; the signal runs outside it).

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Date.hpp"
#include "base/Logger.hpp"
#include "fileprovider/locking/LockingTypes.hpp"

namespace tarnix::fileprovider {

class LockingUploadTracker {
 public:
  struct Configuration {
    std::int64_t sizeThreshold = 104857600;
    std::chrono::seconds durationThreshold{30};
    std::chrono::seconds failureRetention{300};
  };
  enum class Source { fileProvider, offlineSync };
  struct UploadChange {
    enum class Kind { started, succeeded, failed };
    common::SyncFileIdentifier itemIdentifier;
    Kind kind = Kind::started;
    std::int64_t fileSize = 0;   // started
    std::string cloudPath = {};  // started
    Source source = Source::fileProvider;
  };
  struct TrackedUpload {
    common::SyncFileIdentifier itemIdentifier;
    Source source = Source::fileProvider;
    base::Date startTime;
    std::optional<base::Date> endTime;
    bool failed = false;
    std::int64_t fileSize = 0;
    std::string cloudPath;
    bool didRequestLock = false;
  };

  /// Whether `upload` wants its file locked at `now`.
  static bool needsLock(const TrackedUpload& upload, const Configuration& configuration,
                        base::Date now);

  LockingUploadTracker(Configuration configuration, base::Logger logger, bool isEnabled = true);

  void setLockSyncSignal(std::function<void()> signal);
  /// Records a change at `now`; disabled, it does nothing.
  void apply(const UploadChange& change, base::Date now);
  /// The uploads that want their file locked at `now`; finished ones that no longer do are
  /// forgotten.
  std::vector<OngoingUpload> ongoingUploads(base::Date now);

 private:
  Configuration configuration_;
  base::Logger logger_;
  bool isEnabled_;
  std::mutex mutex_;
  std::map<common::SyncFileIdentifier, TrackedUpload> uploads_;  // guarded by mutex_
  std::function<void()> lockSyncSignal_;                         // guarded by mutex_
};

}  // namespace tarnix::fileprovider
