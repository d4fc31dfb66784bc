#include "fileprovider/locking/LockingService.hpp"

namespace tarnix::fileprovider {

using common::LocalLock;
using common::LocalLockSource;
using common::LockingError;
using common::SyncItem;
using Code = common::LockingError::Code;

namespace {

base::LoggerMetadata metadataOf(const common::SyncFileIdentifier& file, LocalLockSource source) {
  return {{"itemID", file.description()}, {"source", std::string(source.description())}};
}

}  // namespace

LockingService::LockingService(Collaborators collaborators, base::Logger logger)
    : c_(std::move(collaborators)),
      logger_(std::move(logger)),
      serialQueue_(base::DispatchQueue::make("com.tarnix.LockingService")) {}

std::chrono::seconds LockingService::lockTimeout(LocalLockSource source) const {
  std::optional<double> manual;
  if (source.isManual() && c_.manualLockDuration) manual = c_.manualLockDuration();
  return fileprovider::lockTimeout(source, manual);
}

template <class T>
void LockingService::finish(std::function<void(LockingResult<T>)> completion,
                            LockingResult<T> result) {
  serialQueue_->async([completion = std::move(completion), result = std::move(result)]() mutable {
    completion(std::move(result));
  });
}

void LockingService::setExcludedFromLocking(std::vector<common::SyncFileIdentifier> files) {
  std::lock_guard lock(excludedMutex_);
  excludedFromLocking_ = {files.begin(), files.end()};
}

void LockingService::reportAlreadyLocked(const SyncItem& item,
                                         const common::CloudLockInfo& holder) {
  const auto* file = item.itemIdentifier.file();
  if (c_.alreadyLockedNotifier && file) {
    c_.alreadyLockedNotifier->fileIsAlreadyLocked(*file, item.filename, holder);
  }
}

void LockingService::lockFile(const common::SyncFileIdentifier& file, LocalLockSource source,
                              std::vector<common::LockingApplicationData> lockingApplications,
                              LockCompletion completion) {
  auto metadata = metadataOf(file, source);
  logger_.info("Locking file...", metadata);
  {
    std::lock_guard lock(excludedMutex_);
    if (excludedFromLocking_.contains(file)) {
      logger_.info("Refusing locking of an excluded file", metadata);
      return finish(std::move(completion),
                    LockingResult<LocalLock>(std::unexpected(LockingError(Code::lockingDenied))));
    }
  }
  auto item = c_.syncItemStorage->item(common::SyncItemIdentifier(file));
  if (!item) {
    logger_.warning("Reading item to lock failed", metadata);
    return finish(std::move(completion),
                  LockingResult<LocalLock>(std::unexpected(LockingError(Code::fileNotFound))));
  }
  if (item->lockInfo && item->lockInfo->isHolderKnown() &&
      !item->lockInfo->isHeldBy(c_.currentUserLock.identifier)) {
    logger_.info("Locking skipped - locked by somebody else", metadata);
    reportAlreadyLocked(*item, *item->lockInfo);
    return finish(
        std::move(completion),
        LockingResult<LocalLock>(std::unexpected(LockingError::alreadyLocked(*item->lockInfo))));
  }
  if (!common::allowsEditing(*item)) {
    logger_.info("Locking skipped - read-only file", metadata);
    return finish(std::move(completion),
                  LockingResult<LocalLock>(std::unexpected(LockingError(Code::lockingDenied))));
  }
  cloudfs::LockRequestOptions options;
  options.lockingApplications = std::move(lockingApplications);
  options.lockTimeout = lockTimeout(source).count();
  if (item->lockInfo) options.collaborationToken = item->lockInfo->collaborationToken;
  lockFileOnCloud(*item, source, std::move(options), std::move(completion));
}

void LockingService::lockFileOnCloud(const SyncItem& item, LocalLockSource source,
                                     cloudfs::LockRequestOptions options,
                                     LockCompletion completion) {
  const auto file = *item.itemIdentifier.file();
  auto cloudPath = c_.syncItemStorage->queryCloudPath(item.itemIdentifier);
  auto applications = options.lockingApplications;
  const auto timeout = std::chrono::seconds(options.lockTimeout.value_or(0));
  std::weak_ptr<LockingService> weak = weak_from_this();
  c_.lockingCloudClient->lockFile(
      item, cloudPath ? std::optional(*cloudPath) : std::nullopt, std::move(options), "lockFile",
      [weak, item, file, source, applications, timeout,
       completion](LockingResult<cloudfs::LockFileResponse> answer) mutable {
        auto self = weak.lock();
        if (!self) return completion(std::unexpected(LockingError(Code::internalError)));
        self->serialQueue_->async([self, item, file, source, applications, timeout,
                                   completion = std::move(completion),
                                   answer = std::move(answer)]() mutable {
          if (!answer) {
            if (answer.error().code == Code::alreadyLocked) {
              self->reportAlreadyLocked(item, answer.error().lockInfo);
            }
            return completion(std::unexpected(answer.error()));
          }
          // The cloud may grant less than asked: the lock lasts, and is renewed, as granted.
          auto granted = timeout;
          if (answer->timeout > 0 && std::chrono::seconds(answer->timeout) < granted)
            granted = std::chrono::seconds(answer->timeout);
          auto lock = makeLocalLock(file, source, answer->lockToken, self->c_.timeProvider->now(),
                                    granted, applications);
          if (auto stored = self->c_.localLockStorage->store(lock); !stored) {
            return completion(std::unexpected(LockingError(Code::internalError)));
          }
          if (self->c_.alreadyLockedNotifier) self->c_.alreadyLockedNotifier->forget(file);
          completion(std::move(lock));
        });
      });
}

void LockingService::unlockFile(const common::SyncFileIdentifier& file, LocalLockSource source,
                                Completion completion) {
  auto metadata = metadataOf(file, source);
  logger_.info("Unlocking file...", metadata);
  auto item = c_.syncItemStorage->item(common::SyncItemIdentifier(file));
  if (!item) {
    return finish(std::move(completion),
                  LockingResult<void>(std::unexpected(LockingError(Code::fileNotFound))));
  }
  auto stored = c_.localLockStorage->lock(file);
  std::optional<std::string> token;
  if (stored && *stored) token = (*stored)->token;
  std::weak_ptr<LockingService> weak = weak_from_this();
  c_.lockingCloudClient->unlockFile(
      *item, token, [weak, file, completion](LockingResult<void> answer) mutable {
        auto self = weak.lock();
        if (!self) return completion(std::unexpected(LockingError(Code::internalError)));
        // The cloud no longer holds this lock: the local record goes all the same.
        if (!answer && answer.error().code != Code::lockNotFound) {
          return self->finish(std::move(completion), std::move(answer));
        }
        self->cleanLock(file, std::move(completion));
      });
}

void LockingService::renewLock(const LocalLock& lock, LockRenewalReason reason,
                               LockCompletion completion) {
  auto metadata = metadataOf(lock.fileIdentifier, lock.source);
  metadata.set("reason", base::LoggerMetadataValue(std::string(description(reason))));
  logger_.info("Renewing lock...", metadata);
  auto item = c_.syncItemStorage->item(common::SyncItemIdentifier(lock.fileIdentifier));
  if (!item) {
    return finish(std::move(completion),
                  LockingResult<LocalLock>(std::unexpected(LockingError(Code::fileNotFound))));
  }
  cloudfs::LockRequestOptions options;
  options.lockingApplications = lock.lockingApplications;
  options.lockTimeout = lockTimeout(lock.source).count();
  options.lockToken = lock.token;
  if (item->lockInfo) options.collaborationToken = item->lockInfo->collaborationToken;
  const auto file = lock.fileIdentifier;
  std::weak_ptr<LockingService> weak = weak_from_this();
  lockFileOnCloud(*item, lock.source, std::move(options),
                  [weak, file, completion](LockingResult<LocalLock> renewed) mutable {
                    auto self = weak.lock();
                    const bool lost = !renewed && (renewed.error().code == Code::alreadyLocked ||
                                                   renewed.error().code == Code::lockNotFound ||
                                                   renewed.error().code == Code::fileNotFound);
                    if (!self || !lost) return completion(std::move(renewed));
                    // Somebody else holds the file now, or the lock is gone: ours is no more.
                    self->cleanLock(file, [completion, renewed](LockingResult<void>) {
                      completion(std::move(renewed));
                    });
                  });
}

void LockingService::cleanLock(const common::SyncFileIdentifier& file, Completion completion) {
  auto removed = c_.localLockStorage->remove(file);
  if (!removed) {
    return finish(std::move(completion),
                  LockingResult<void>(std::unexpected(LockingError(Code::internalError))));
  }
  logger_.info("[LOCKING] Cleaning local lock done", {{"itemID", file.description()}});
  finish(std::move(completion), LockingResult<void>());
}

void LockingService::clearIfRelockedByOtherUser(const common::SyncFileIdentifier& file,
                                                Completion completion) {
  auto item = c_.syncItemStorage->item(common::SyncItemIdentifier(file));
  if (!item) {
    return finish(std::move(completion),
                  LockingResult<void>(std::unexpected(LockingError(Code::fileNotFound))));
  }
  std::weak_ptr<LockingService> weak = weak_from_this();
  c_.lockingCloudClient->checkLockPresence(
      *item, [weak, file, completion](LockingResult<LockCloudPresence> presence) mutable {
        auto self = weak.lock();
        if (!self) return completion(std::unexpected(LockingError(Code::internalError)));
        if (!presence)
          return self->finish(std::move(completion),
                              LockingResult<void>(std::unexpected(presence.error())));
        if (presence->lockInfo && presence->lockInfo->isHolderKnown() &&
            !presence->lockInfo->isHeldBy(self->c_.currentUserLock.identifier)) {
          return self->cleanLock(file, std::move(completion));
        }
        self->finish(std::move(completion), LockingResult<void>());
      });
}

void LockingService::unlockManualLocks(Completion completion) {
  auto locks = c_.localLockStorage->locks();
  if (!locks) {
    return finish(std::move(completion),
                  LockingResult<void>(std::unexpected(LockingError(Code::internalError))));
  }
  struct Pending {
    std::mutex mutex;
    std::size_t outstanding = 0;
    std::optional<LockingError> firstError;
  };
  auto pending = std::make_shared<Pending>();
  std::vector<LocalLock> manual;
  for (auto& lock : *locks) {
    if (lock.source.isManual()) manual.push_back(std::move(lock));
  }
  if (manual.empty()) return finish(std::move(completion), LockingResult<void>());
  pending->outstanding = manual.size();
  for (const auto& lock : manual) {
    unlockFile(lock.fileIdentifier, lock.source,
               [this, self = shared_from_this(), pending, file = lock.fileIdentifier,
                completion](LockingResult<void> result) {
                 bool last = false;
                 std::optional<LockingError> error;
                 {
                   std::lock_guard guard(pending->mutex);
                   if (!result) {
                     logger_.error(
                         "[LOCKING] Removing manual lock failed",
                         {{"itemID", file.description()}, {"error", result.error().description()}});
                     if (!pending->firstError) pending->firstError = result.error();
                   }
                   last = --pending->outstanding == 0;
                   error = pending->firstError;
                 }
                 if (!last) return;
                 if (error) return completion(std::unexpected(*error));
                 completion({});
               });
  }
}

}  // namespace tarnix::fileprovider
