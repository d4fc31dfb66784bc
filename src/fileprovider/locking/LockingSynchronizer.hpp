#pragma once
// Reconciles the files local processes hold open with the drive's locks, one pass at a time
// (see LockingPass for what a pass decides): asks the open-file source, records its answer
// in OpenFiles, locks, releases and renews through the locking service. Passes run at start
// (so that automatic locks left by a process that ended while nothing watched are released),
// every `lsofInterval` seconds of the cloud configuration (15 by default), when asked
// (`synchronize`: the desktop application, the upload tracker, the open-files tracker) and
// after an answer that failed only renewals run.
//
// Threads: any thread may call; passes run on the queue "com.tarnix.LockingSynchronizer".
// A request during a pass runs one more pass after it.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/locking/LockingBlocklist.hpp"
#include "fileprovider/locking/LockingPass.hpp"
#include "fileprovider/locking/LockingService.hpp"
#include "fileprovider/locking/LockingUploadTracker.hpp"
#include "fileprovider/locking/OpenFilesStorage.hpp"
#include "fileprovider/locking/OpenFilesTracker.hpp"

namespace tarnix::fileprovider {

/// What the synchroniser reads from the configuration at each pass.
struct LockingSynchronizerConfiguration {
  bool disableOfflineLocking = false;
  bool disablePrivateDirectoryLocking = false;
  LockingBlocklist blocklist = LockingBlocklist::makeDefault();
  std::chrono::milliseconds lsofInterval{15000};
};

class LockingSynchronizer : public std::enable_shared_from_this<LockingSynchronizer> {
 public:
  struct Collaborators {
    std::shared_ptr<LockingService> lockingService;
    std::shared_ptr<LocalLockStorage> localLockStorage;
    std::shared_ptr<OpenFilesStorage> openFilesStorage;
    std::shared_ptr<common::SyncItemStorage> syncItemStorage;
    /// May be null (no upload keeps a lock).
    std::shared_ptr<LockingUploadTracker> uploadTracker;
    std::shared_ptr<OpenFilesSource> openFilesSource;
    std::shared_ptr<base::Clock> timeProvider;
    /// Read at each pass; may be empty (the defaults).
    std::function<LockingSynchronizerConfiguration()> configuration;
    /// The drive's root lies under the cloud's "/Private" tree.
    bool isRootUnderPrivate = false;
  };

  LockingSynchronizer(Collaborators collaborators, base::Logger logger);

  /// Runs the first pass and schedules the periodic ones.
  void start();
  /// Cancels the periodic passes; a pass under way finishes, no new one starts.
  void stop();
  /// Runs a pass (after the one under way, if any); `done` runs once it has ended.
  void synchronize(std::function<void()> done = {});

 private:
  void runPass();
  void passWithAnswer(OpenFilesSource::Answer answer);
  void execute(const LockingPassPlan& plan);
  void passEnded();
  void scheduleNext();
  std::optional<std::vector<OpenFile>> recordOpenFiles(const OpenFilesSource::Answer& answer);
  LockingItemFacts factsOf(const common::SyncItem& item,
                           const LockingSynchronizerConfiguration& configuration) const;

  Collaborators c_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> queue_;
  std::mutex mutex_;
  // Guarded by mutex_.
  bool running_ = false;
  bool pending_ = false;
  bool stopped_ = false;
  std::vector<std::function<void()>> waiting_;
  std::vector<std::function<void()>> current_;
  std::shared_ptr<base::DispatchWorkItem> timer_;
};

}  // namespace tarnix::fileprovider
