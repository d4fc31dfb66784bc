#include "host/ChangeSynchronizer.hpp"

#include "base/Hash.hpp"

namespace tarnix::host {

ChangeSynchronizer::ChangeSynchronizer(std::shared_ptr<ExtensionCalls> calls,
                                       std::shared_ptr<ReplicaStore> store,
                                       std::shared_ptr<ContentReplica> contents,
                                       std::shared_ptr<KernelCache> kernel, base::Logger logger)
    : calls_(std::move(calls)),
      store_(std::move(store)),
      contents_(std::move(contents)),
      kernel_(std::move(kernel)),
      logger_(std::move(logger)) {}

ChangeSynchronizer::~ChangeSynchronizer() {
  stop();
}

void ChangeSynchronizer::start() {
  (void)store_->setState(kDomainErrorKey, std::nullopt);
  // A store without an anchor starts from the present: what exists now comes from listings.
  // Recorded before start() returns, so that no change made after it is missed.
  if (!storedAnchor()) {
    if (auto enumerator = workingSet()) {
      if (auto anchor = calls_->currentSyncAnchor(*enumerator); anchor && *anchor)
        storeAnchor(**anchor);
    }
  }
  worker_.start();
}

void ChangeSynchronizer::stop() {
  {
    base::MutexLock lock(mutex_);
    stopping_ = true;
  }
  worker_.stop();
  if (workingSet_) workingSet_->invalidate();
  workingSet_.reset();
}

void ChangeSynchronizer::signal() {
  {
    base::MutexLock lock(mutex_);
    if (queued_ || stopping_) return;
    queued_ = true;
  }
  worker_.post([this] { runRound(); });
}

bool ChangeSynchronizer::stopping() {
  base::MutexLock lock(mutex_);
  return stopping_;
}

void ChangeSynchronizer::runRound() {
  {
    base::MutexLock lock(mutex_);
    queued_ = false;  // a signal from now on asks for another round
  }
  synchronize();
  kernel_->flush();
  completedRounds_.fetch_add(1);
}

fp::EnumeratorPtr ChangeSynchronizer::workingSet() {
  if (workingSet_) return workingSet_;
  auto made = calls_->enumerator(fp::ItemIdentifier::workingSet());
  if (!made) {
    logger_.error("No working-set enumerator: " + made.error().description());
    (void)store_->setState(ReplicaStore::kLastChangeErrorKey, made.error().description());
    return nullptr;
  }
  workingSet_ = *made;
  return workingSet_;
}

std::optional<fp::SyncAnchor> ChangeSynchronizer::storedAnchor() {
  auto text = store_->state(ReplicaStore::kSyncAnchorKey);
  if (!text || !*text) return std::nullopt;
  auto bytes = base::base64Decode(**text);
  if (!bytes) return std::nullopt;
  return fp::SyncAnchor{fp::Data(bytes->begin(), bytes->end())};
}

void ChangeSynchronizer::storeAnchor(const fp::SyncAnchor& anchor) {
  (void)store_->setState(ReplicaStore::kSyncAnchorKey, base::base64Encode(anchor.rawValue));
}

void ChangeSynchronizer::synchronize() {
  auto enumerator = workingSet();
  if (!enumerator) return;
  // Bounded, so that an extension answering "more coming" forever cannot hold the thread.
  for (int round = 0; round < 10000; ++round) {
    if (stopping()) return;
    auto anchor = storedAnchor();
    if (!anchor) {
      auto current = calls_->currentSyncAnchor(*enumerator);
      if (!current || !*current) return;
      storeAnchor(**current);
      return;
    }
    auto batch = calls_->enumerateChanges(*enumerator, *anchor);
    if (!batch) {
      const auto& error = batch.error().error;
      logger_.error("Enumerating changes failed: " + batch.error().description());
      (void)store_->setState(ReplicaStore::kLastChangeErrorKey, batch.error().description());
      if (error && error->is(fp::FileProviderErrorCode::serverUnreachable)) {
        (void)store_->setState(kDomainErrorKey, kServerUnreachable);
      } else if (error && error->is(fp::FileProviderErrorCode::notAuthenticated)) {
        (void)store_->setState(kDomainErrorKey, kNotAuthenticated);
      }
      if (error && error->is(fp::FileProviderErrorCode::syncAnchorExpired)) {
        // The extension cannot go back that far: start again from its present anchor.
        (void)store_->setState(ReplicaStore::kSyncAnchorKey, std::nullopt);
        continue;
      }
      return;
    }
    if (!apply(*batch)) return;
    storeAnchor(batch->anchor);
    (void)store_->setState(ReplicaStore::kLastChangeErrorKey, std::nullopt);
    (void)store_->setState(kDomainErrorKey, std::nullopt);
    if (!batch->moreComing) return;
  }
}

bool ChangeSynchronizer::apply(const ChangeBatch& batch) {
  for (const auto& item : batch.updated) {
    if (!item) continue;
    auto upserted = store_->upsert(*item);
    if (!upserted) return false;
    if (!*upserted) {
      // Moved below a folder the host never showed: it leaves the presented tree.
      auto removed = store_->remove(item->itemIdentifier());
      if (!removed) return false;
      for (const auto& r : *removed) {
        if (r.contentPresent) contents_->discard(r.contentPath);
        kernel_->invalidateEntry(r.parentInode, r.filename);
      }
      continue;
    }
    const auto& result = **upserted;
    if (result.staleContentPath) contents_->discard(*result.staleContentPath);
    if (result.previousPlacement)
      kernel_->invalidateEntry(result.previousPlacement->first, result.previousPlacement->second);
    if (result.created || result.previousPlacement) {
      auto entry = store_->entry(result.inode);
      if (entry && *entry) kernel_->invalidateEntry((*entry)->parentInode, (*entry)->filename);
    }
    if (result.attributesChanged) kernel_->invalidateInode(result.inode);
  }
  for (const auto& identifier : batch.deleted) {
    auto removed = store_->remove(identifier);
    if (!removed) return false;
    for (const auto& r : *removed) {
      if (r.contentPresent) contents_->discard(r.contentPath);
      kernel_->invalidateEntry(r.parentInode, r.filename);
      kernel_->invalidateInode(r.inode);
    }
  }
  return true;
}

}  // namespace tarnix::host
