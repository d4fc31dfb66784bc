#include "fileprovider/locking/LockingSynchronizer.hpp"

namespace tarnix::fileprovider {

using common::SyncFileIdentifier;

namespace {

bool isUnderPrivate(const std::string& cloudPath) {
  return cloudPath == "/Private" || cloudPath.starts_with("/Private/");
}

// Counts the operations of a pass and ends it after the last.
struct PassOperations {
  std::mutex mutex;
  std::size_t outstanding = 1;  // the pass itself, released after every operation started
  std::function<void()> ended;
  void done() {
    bool last = false;
    {
      std::lock_guard lock(mutex);
      last = --outstanding == 0;
    }
    if (last) ended();
  }
  void add() {
    std::lock_guard lock(mutex);
    ++outstanding;
  }
};

}  // namespace

LockingSynchronizer::LockingSynchronizer(Collaborators collaborators, base::Logger logger)
    : c_(std::move(collaborators)),
      logger_(std::move(logger)),
      queue_(base::DispatchQueue::make("com.tarnix.LockingSynchronizer")) {}

void LockingSynchronizer::start() {
  synchronize();
  scheduleNext();
}

void LockingSynchronizer::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  if (timer_) timer_->cancel();
  timer_.reset();
}

void LockingSynchronizer::scheduleNext() {
  const auto configuration =
      c_.configuration ? c_.configuration() : LockingSynchronizerConfiguration{};
  const auto interval = std::max(configuration.lsofInterval, std::chrono::milliseconds(1000));
  std::weak_ptr<LockingSynchronizer> weak = weak_from_this();
  std::lock_guard lock(mutex_);
  if (stopped_) return;
  timer_ = c_.timeProvider->after(interval, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->synchronize();
    self->scheduleNext();
  });
}

void LockingSynchronizer::synchronize(std::function<void()> done) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) {
      if (done) done();
      return;
    }
    if (done) waiting_.push_back(std::move(done));
    if (running_) {
      pending_ = true;
      return;
    }
    running_ = true;
    current_ = std::move(waiting_);
    waiting_.clear();
  }
  runPass();
}

void LockingSynchronizer::runPass() {
  std::weak_ptr<LockingSynchronizer> weak = weak_from_this();
  c_.openFilesSource->openFiles([weak](OpenFilesSource::Answer answer) {
    auto self = weak.lock();
    if (!self) return;
    self->queue_->async(
        [self, answer = std::move(answer)]() mutable { self->passWithAnswer(std::move(answer)); });
  });
}

std::optional<std::vector<OpenFile>> LockingSynchronizer::recordOpenFiles(
    const OpenFilesSource::Answer& answer) {
  if (!answer) {
    logger_.warning("[LOCKING] Listing open files failed, locks are kept as they are",
                    {{"error", answer.error()}});
    return std::nullopt;
  }
  const auto now = c_.timeProvider->now();
  std::vector<OpenFile> files;
  for (const auto& listed : *answer) {
    auto item = c_.syncItemStorage->findItem(listed.filePath);
    if (!item || !*item || !(*item)->itemIdentifier.file()) continue;
    OpenFile file;
    file.itemIdentifier = *(*item)->itemIdentifier.file();
    file.pid = listed.pid;
    file.appName = listed.processName;
    file.timestamp = now;
    file.path = listed.filePath;
    files.push_back(std::move(file));
  }
  // Without the table written, the pass would decide on what the table does not say.
  if (!c_.openFilesStorage->replaceAll(files)) return std::nullopt;
  return files;
}

LockingItemFacts LockingSynchronizer::factsOf(
    const common::SyncItem& item, const LockingSynchronizerConfiguration& configuration) const {
  LockingItemFacts facts;
  facts.filename = item.filename;
  facts.lockingAllowed = common::allowsEditing(item);
  if (configuration.disableOfflineLocking && item.itemRealm == common::SyncItemRealm::offline) {
    facts.lockingAllowed = false;
  }
  if (configuration.disablePrivateDirectoryLocking) {
    if (c_.isRootUnderPrivate) {
      facts.lockingAllowed = false;
    } else if (auto path = c_.syncItemStorage->queryCloudPath(item.itemIdentifier);
               path && isUnderPrivate(*path)) {
      facts.lockingAllowed = false;
    }
  }
  facts.lockedBySomebodyElse =
      item.lockInfo && item.lockInfo->isHolderKnown() &&
      !item.lockInfo->isHeldBy(c_.lockingService->currentUserLock().identifier);
  return facts;
}

void LockingSynchronizer::passWithAnswer(OpenFilesSource::Answer answer) {
  const auto configuration =
      c_.configuration ? c_.configuration() : LockingSynchronizerConfiguration{};
  LockingPassInput input;
  input.now = c_.timeProvider->now();
  input.blocklist = configuration.blocklist;
  input.openFiles = recordOpenFiles(answer);
  auto locks = c_.localLockStorage->locks();
  if (!locks) return passEnded();
  input.localLocks = std::move(*locks);
  if (c_.uploadTracker) input.uploads = c_.uploadTracker->ongoingUploads(input.now);

  std::vector<common::SyncItemIdentifier> wanted;
  if (input.openFiles) {
    for (const auto& file : *input.openFiles) wanted.emplace_back(file.itemIdentifier);
  }
  for (const auto& upload : input.uploads) wanted.emplace_back(upload.itemIdentifier);
  if (auto items = c_.syncItemStorage->items(wanted)) {
    for (const auto& item : *items) {
      if (item && item->itemIdentifier.file()) {
        input.items[*item->itemIdentifier.file()] = factsOf(*item, configuration);
      }
    }
  }
  execute(planLockingPass(input));
}

void LockingSynchronizer::execute(const LockingPassPlan& plan) {
  auto operations = std::make_shared<PassOperations>();
  std::weak_ptr<LockingSynchronizer> weak = weak_from_this();
  operations->ended = [weak] {
    if (auto self = weak.lock()) self->queue_->async([self] { self->passEnded(); });
  };
  auto& service = *c_.lockingService;
  for (const auto& lock : plan.toLock) {
    operations->add();
    const auto applications = common::joinedApplicationNames(lock.applications);
    service.lockFile(lock.file, common::LocalLockSource::automatic(), lock.applications,
                     [logger = logger_, file = lock.file, applications,
                      operations](LockingResult<common::LocalLock> result) {
                       base::LoggerMetadata metadata{{"itemIdentifier", file.description()},
                                                     {"lockingApplications", applications}};
                       if (result) {
                         logger.info("[LOCKING] Locking open file done", metadata);
                       } else {
                         metadata.set("error",
                                      base::LoggerMetadataValue(result.error().description()));
                         logger.warning("[LOCKING] locking open file failed", metadata);
                       }
                       operations->done();
                     });
  }
  for (const auto& file : plan.toUnlock) {
    operations->add();
    service.unlockFile(file, common::LocalLockSource::automatic(),
                       [logger = logger_, file, operations](LockingResult<void> result) {
                         if (result) {
                           logger.info("[LOCKING] Unlocking automatic lock done",
                                       {{"itemIdentifier", file.description()}});
                         } else {
                           logger.warning("[LOCKING] unlocking automatic lock failed",
                                          {{"itemIdentifier", file.description()},
                                           {"error", result.error().description()}});
                         }
                         operations->done();
                       });
  }
  for (const auto& lock : plan.toRenew) {
    operations->add();
    service.renewLock(lock, LockRenewalReason::automatic,
                      [operations](LockingResult<common::LocalLock>) { operations->done(); });
  }
  for (const auto& file : plan.toForget) {
    operations->add();
    service.cleanLock(file, [operations](LockingResult<void>) { operations->done(); });
  }
  operations->done();
}

void LockingSynchronizer::passEnded() {
  std::vector<std::function<void()>> finished;
  bool again = false;
  {
    std::lock_guard lock(mutex_);
    finished = std::move(current_);
    current_.clear();
    again = pending_ && !stopped_;
    pending_ = false;
    if (again) {
      current_ = std::move(waiting_);
      waiting_.clear();
    } else {
      running_ = false;
      if (stopped_) {
        for (auto& done : waiting_) finished.push_back(std::move(done));
        waiting_.clear();
      }
    }
  }
  for (auto& done : finished) done();
  if (again) runPass();
}

}  // namespace tarnix::fileprovider
