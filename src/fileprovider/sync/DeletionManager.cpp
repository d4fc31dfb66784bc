#include "fileprovider/sync/DeletionManager.hpp"

#include <algorithm>
#include <filesystem>

#include "common/UnwantedItemRules.hpp"

namespace tarnix::fileprovider {

using common::SyncError;
using common::SyncItem;
using common::SyncItemIdentifier;

bool shouldDeferDeletion(const SyncItem& item, const DeletionManagerSettings& settings) {
  if (!settings.delayedDeletionsEnabled || item.isFolder()) return false;
  auto extension = std::filesystem::path(item.filename).extension().string();
  if (extension.size() < 2) return false;
  extension = common::lowercasedASCII(std::string_view(extension).substr(1));
  return std::ranges::any_of(settings.delayedDeletionExtensions, [&](const std::string& listed) {
    return common::lowercasedASCII(listed) == extension;
  });
}

std::chrono::milliseconds delayedDeletionBackoff(int attempts, std::chrono::milliseconds maximum) {
  using std::chrono::milliseconds;
  if (attempts < 1) return milliseconds(0);
  // 3 s doubled per attempt; past 2^20 the cap has long been reached.
  const auto doublings = std::min(attempts - 1, 20);
  return std::min(milliseconds(3000) * (std::int64_t{1} << doublings), maximum);
}

DelayedDeletionOutcome delayedDeletionOutcome(const SyncCloudResult<void>& result) {
  if (result) return DelayedDeletionOutcome::done;
  const auto* sync = result.error().syncError();
  if (!sync) return DelayedDeletionOutcome::retry;
  switch (sync->code()) {
    case SyncError::Code::noSuchItem:
      return DelayedDeletionOutcome::done;
    case SyncError::Code::deletionRejected:
    case SyncError::Code::permissionDenied:
      return DelayedDeletionOutcome::revert;
    case SyncError::Code::entryIDMismatch:
    case SyncError::Code::fileLocked:
      return DelayedDeletionOutcome::revertAndRelist;
    default:
      return DelayedDeletionOutcome::retry;
  }
}

DeletionManager::DeletionManager(std::shared_ptr<SyncClientProtocol> syncClient,
                                 std::shared_ptr<common::SyncItemStorage> itemStorage,
                                 DeletionManagerSettings settings, FolderRefresher refreshFolder,
                                 std::shared_ptr<base::Clock> clock, base::Logger logger)
    : syncClient_(std::move(syncClient)),
      itemStorage_(std::move(itemStorage)),
      settings_(std::move(settings)),
      refreshFolder_(std::move(refreshFolder)),
      clock_(clock ? std::move(clock) : base::Clock::system()),
      logger_(std::move(logger)),
      queue_(base::DispatchQueue::make("com.tarnix.DeletionManager", clock_)) {}

DeletionManager::~DeletionManager() {
  stop();
}

void DeletionManager::deleteItem(const SyncItem& item,
                                 std::optional<common::CloudEntryIdentifier> baseContentVersion,
                                 SyncClientProtocol::ResultHandler<void> completionHandler) {
  queue_->async([self = shared_from_this(), item, baseContentVersion,
                 completionHandler = std::move(completionHandler)]() mutable {
    if (!shouldDeferDeletion(item, self->settings_)) {
      self->deleteItemOnCloud(item, std::move(baseContentVersion), std::move(completionHandler));
      return;
    }
    auto marked = self->itemStorage_->deleteItem(item.itemIdentifier, baseContentVersion,
                                                 /*delayed=*/true,
                                                 /*includingSubscriptionRoot=*/false);
    if (!marked) {
      self->logger_.error(
          "Failed to mark file for delayed deletion",
          {{"itemID", item.itemIdentifier.description()}, {"error", marked.error().description()}});
      completionHandler(std::unexpected(SyncError(SyncError::Code::badServerResponse)));
      return;
    }
    TLOG_DEBUG(self->logger_, "File marked for delayed deletion",
               {{"itemID", item.itemIdentifier.description()}, {"filename", item.filename}});
    self->addDelayedDeletion(item);
    completionHandler({});
  });
}

void DeletionManager::setDelayedDeletionExtensions(std::vector<std::string> extensions) {
  queue_->async([self = shared_from_this(), extensions = std::move(extensions)]() mutable {
    self->settings_.delayedDeletionExtensions = std::move(extensions);
  });
}

void DeletionManager::deleteItemOnCloud(
    const SyncItem& item, std::optional<common::CloudEntryIdentifier> baseContentVersion,
    SyncClientProtocol::ResultHandler<void> completionHandler) {
  syncClient_->deleteItem(
      item, [self = shared_from_this(), item, baseContentVersion,
             completionHandler = std::move(completionHandler)](SyncCloudResult<void> result) {
        if (result) {
          auto stored = self->itemStorage_->deleteItem(item.itemIdentifier, baseContentVersion,
                                                       /*delayed=*/false,
                                                       /*includingSubscriptionRoot=*/true);
          if (!stored) {
            // The cloud has deleted it; the next listing of its folder removes it here too.
            self->logger_.error("Failed to remove deleted item from storage",
                                {{"itemID", item.itemIdentifier.description()},
                                 {"error", stored.error().description()}});
          }
        }
        completionHandler(std::move(result));
      });
}

void DeletionManager::activate() {
  if (!settings_.delayedDeletionsEnabled) return;
  auto restored = itemStorage_->itemsMarkedForDelayedDeletion();
  queue_->async([self = shared_from_this(), restored = std::move(restored)] {
    if (self->stopped_) return;
    self->active_ = true;
    if (!restored) {
      self->logger_.error("Failed to restore delayed-deletions",
                          {{"error", restored.error().description()}});
    } else {
      for (const auto& item : *restored) {
        // A folder is never deferred; its rows are marked only as part of a file's subtree.
        if (!item.isFolder()) self->addDelayedDeletion(item);
      }
    }
    self->scheduleWakeUp();
  });
}

void DeletionManager::stop() {
  if (!queue_->isCurrent()) {
    queue_->sync([this] {
      stopped_ = true;
      if (timer_) timer_->cancel();
      timer_.reset();
    });
  }
  attempts_.wait();
}

std::optional<SyncItemIdentifier> DeletionManager::cancelDelayedDeletion(
    const common::SyncFolderIdentifier& parent, const std::string& filename) {
  return queue_->sync([&]() -> std::optional<SyncItemIdentifier> {
    const auto wanted = common::lowercasedASCII(filename);
    for (auto it = delayedDeletions_.begin(); it != delayedDeletions_.end(); ++it) {
      const auto& item = it->second.item;
      if (item.parentItemIdentifier != parent || common::lowercasedASCII(item.filename) != wanted) {
        continue;
      }
      auto identifier = it->first;
      logger_.info("Delayed deletion cancelled by a new item at the same place",
                   {{"itemID", identifier.description()}, {"filename", item.filename}});
      delayedDeletions_.erase(it);
      // The marked row becomes a plain tombstone: nothing sends it any more, and a restart
      // does not restore it.
      auto stored = itemStorage_->deleteItem(identifier, std::nullopt, /*delayed=*/false,
                                             /*includingSubscriptionRoot=*/false);
      if (!stored) {
        logger_.error(
            "Failed to update cancelled delayed deletion",
            {{"itemID", identifier.description()}, {"error", stored.error().description()}});
      }
      notifyListener();
      return identifier;
    }
    return std::nullopt;
  });
}

std::uint64_t DeletionManager::registerConflictingPropagation(const SyncItemIdentifier& item) {
  return queue_->sync([&] {
    const auto token = ++tokenCounter_;
    conflictingPropagations_.emplace(token, item);
    if (auto it = delayedDeletions_.find(item); it != delayedDeletions_.end()) {
      ++it->second.conflictingPropagationsCount;
    }
    return token;
  });
}

void DeletionManager::unregisterConflictingPropagation(std::uint64_t token) {
  queue_->async([self = shared_from_this(), token] {
    auto it = self->conflictingPropagations_.find(token);
    if (it == self->conflictingPropagations_.end()) return;
    if (auto pending = self->delayedDeletions_.find(it->second);
        pending != self->delayedDeletions_.end() &&
        pending->second.conflictingPropagationsCount > 0) {
      --pending->second.conflictingPropagationsCount;
    }
    self->conflictingPropagations_.erase(it);
    self->runWorker();
  });
}

std::vector<SyncItemIdentifier> DeletionManager::pendingDelayedDeletions() {
  return queue_->sync([&] {
    std::vector<SyncItemIdentifier> pending;
    for (const auto& [identifier, deletion] : delayedDeletions_) pending.push_back(identifier);
    return pending;
  });
}

void DeletionManager::setListener(Listener listener) {
  queue_->sync([&] { listener_ = std::move(listener); });
}

void DeletionManager::addDelayedDeletion(SyncItem item) {
  DelayedDeletion deletion;
  deletion.backoffDeadline = clock_->steadyNow() + settings_.delayedDeletionPeriod;
  for (const auto& [token, identifier] : conflictingPropagations_) {
    if (identifier == item.itemIdentifier) ++deletion.conflictingPropagationsCount;
  }
  deletion.item = std::move(item);
  auto identifier = deletion.item.itemIdentifier;
  delayedDeletions_.insert_or_assign(std::move(identifier), std::move(deletion));
  notifyListener();
  scheduleWakeUp();
}

void DeletionManager::scheduleWakeUp() {
  if (!active_ || stopped_) return;
  std::optional<base::Clock::SteadyTime> earliest;
  for (const auto& [identifier, deletion] : delayedDeletions_) {
    if (deletion.inFlight || deletion.conflictingPropagationsCount > 0) continue;
    if (!earliest || deletion.backoffDeadline < *earliest) earliest = deletion.backoffDeadline;
  }
  if (!earliest) return;
  if (timer_ && timerDeadline_ <= *earliest) return;
  if (timer_) timer_->cancel();
  timerDeadline_ = *earliest;
  const auto delay = std::max(base::Clock::Duration::zero(), *earliest - clock_->steadyNow());
  std::weak_ptr<DeletionManager> weak = weak_from_this();
  timer_ = clock_->after(delay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->queue_->async([self] {
      self->timer_.reset();
      self->runWorker();
    });
  });
}

void DeletionManager::runWorker() {
  if (!active_ || stopped_) return;
  const auto now = clock_->steadyNow();
  // Earliest deadline first, as many as the pipeline takes.
  std::vector<std::pair<base::Clock::SteadyTime, SyncItemIdentifier>> due;
  for (const auto& [identifier, deletion] : delayedDeletions_) {
    if (deletion.inFlight || deletion.conflictingPropagationsCount > 0) continue;
    if (deletion.backoffDeadline <= now) due.emplace_back(deletion.backoffDeadline, identifier);
  }
  std::ranges::sort(due);
  for (const auto& [deadline, identifier] : due) {
    if (inFlight_ >= std::max(1, settings_.delayedDeletionPipelineDepth)) break;
    propagate(identifier);
  }
  scheduleWakeUp();
}

void DeletionManager::propagate(const SyncItemIdentifier& identifier) {
  auto& deletion = delayedDeletions_.at(identifier);
  deletion.inFlight = true;
  ++inFlight_;
  attempts_.enter();
  syncClient_->deleteItem(
      deletion.item, [self = shared_from_this(), identifier](SyncCloudResult<void> result) {
        self->queue_->async([self, identifier, result = std::move(result)]() mutable {
          self->finishPropagation(identifier, std::move(result));
          self->attempts_.leave();
        });
      });
}

void DeletionManager::finishPropagation(const SyncItemIdentifier& identifier,
                                        SyncCloudResult<void> result) {
  --inFlight_;
  auto it = delayedDeletions_.find(identifier);
  if (it == delayedDeletions_.end()) {
    runWorker();
    return;
  }
  auto& deletion = it->second;
  deletion.inFlight = false;
  const auto& item = deletion.item;
  base::LoggerMetadata where{{"itemID", identifier.description()}, {"filename", item.filename}};
  switch (delayedDeletionOutcome(result)) {
    case DelayedDeletionOutcome::done: {
      // The row is already a tombstone; it becomes a plain one, which is not restored again.
      auto stored = itemStorage_->deleteItem(identifier, std::nullopt, /*delayed=*/false,
                                             /*includingSubscriptionRoot=*/false);
      if (!stored) {
        logger_.error(
            "Failed to remove delayed deletion from storage",
            {{"itemID", identifier.description()}, {"error", stored.error().description()}});
      }
      delayedDeletions_.erase(it);
      break;
    }
    case DelayedDeletionOutcome::revert:
    case DelayedDeletionOutcome::revertAndRelist: {
      const bool relist = delayedDeletionOutcome(result) == DelayedDeletionOutcome::revertAndRelist;
      if (relist) {
        where.set("error", result.error().description());
        logger_.warning("File changed or locked on the server, reverting delayed deletion", where);
      } else {
        logger_.warning("Lost permission to delete a file, reverting delayed deletion", where);
      }
      if (auto undone = itemStorage_->undeleteItem(identifier); !undone) {
        logger_.error(
            "Failed to revert delayed deletion",
            {{"itemID", identifier.description()}, {"error", undone.error().description()}});
      }
      const auto parent = item.parentItemIdentifier;
      delayedDeletions_.erase(it);
      if (relist && refreshFolder_) refreshFolder_(parent);
      break;
    }
    case DelayedDeletionOutcome::retry: {
      ++deletion.attempts;
      deletion.lastError = result.error();
      const auto backoff = delayedDeletionBackoff(deletion.attempts, settings_.maximumBackoff);
      deletion.backoffDeadline = clock_->steadyNow() + backoff;
      where.set("backoffPeriod", std::chrono::duration<double>(backoff).count());
      where.set("error", result.error().description());
      logger_.warning("Failed to propagate delayed deletion", where);
      break;
    }
  }
  notifyListener();
  runWorker();
}

void DeletionManager::notifyListener() {
  if (listener_) listener_();
}

}  // namespace tarnix::fileprovider
