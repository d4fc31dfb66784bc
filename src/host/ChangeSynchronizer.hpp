#pragma once
// Follows the extension's changes: when the extension signals an enumerator, the host asks the
// working set for the changes since its last sync anchor, batch by batch, records them in the
// replica store, removes contents that no longer apply and tells the kernel what to forget.
//
// A worker of its own does the asking (it waits for the extension's answers), one round at a
// time; signals during a round make one more round. signal() may be called from any thread and
// never blocks. stop() ends the worker; no call follows it.

#include <atomic>
#include <memory>

#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "base/Worker.hpp"
#include "host/ContentReplica.hpp"
#include "host/ExtensionCalls.hpp"
#include "host/KernelCache.hpp"
#include "host/ReplicaStore.hpp"

namespace tarnix::host {

class ChangeSynchronizer {
 public:
  /// Replica-store key of the domain's condition as the working set last reported it:
  /// kServerUnreachable or kNotAuthenticated while the extension says so, none once a change
  /// enumeration succeeds (and when the synchronizer starts).
  static constexpr const char* kDomainErrorKey = "domainError";
  static constexpr const char* kServerUnreachable = "serverUnreachable";
  static constexpr const char* kNotAuthenticated = "notAuthenticated";

  ChangeSynchronizer(std::shared_ptr<ExtensionCalls> calls, std::shared_ptr<ReplicaStore> store,
                     std::shared_ptr<ContentReplica> contents, std::shared_ptr<KernelCache> kernel,
                     base::Logger logger);
  ~ChangeSynchronizer();

  /// Records the extension's present anchor when the store has none (waiting for it), then
  /// starts the worker. Call once, before signal().
  void start();
  /// Ends the round under way after its current batch and stops the worker. Idempotent.
  void stop() TARNIX_EXCLUDES(mutex_);
  /// Asks for the changes (again) as soon as the worker is free.
  void signal() TARNIX_EXCLUDES(mutex_);
  /// How many change rounds finished (with or without error); for waiting in tests and tools.
  std::uint64_t completedRounds() const { return completedRounds_.load(); }

  /// Applies one batch to the store and the kernel; returns false when the store failed.
  bool apply(const ChangeBatch& batch);

 private:
  void runRound() TARNIX_EXCLUDES(mutex_);
  void synchronize() TARNIX_EXCLUDES(mutex_);
  bool stopping() TARNIX_EXCLUDES(mutex_);
  std::optional<fp::SyncAnchor> storedAnchor();
  void storeAnchor(const fp::SyncAnchor& anchor);
  fp::EnumeratorPtr workingSet();

  std::shared_ptr<ExtensionCalls> calls_;
  std::shared_ptr<ReplicaStore> store_;
  std::shared_ptr<ContentReplica> contents_;
  std::shared_ptr<KernelCache> kernel_;
  base::Logger logger_;
  fp::EnumeratorPtr workingSet_;  // touched by start(), then only on the worker, then by stop()

  base::Mutex mutex_;
  /// A round is queued and has not begun: further signals need no other.
  bool queued_ TARNIX_GUARDED_BY(mutex_) = false;
  bool stopping_ TARNIX_GUARDED_BY(mutex_) = false;
  std::atomic<std::uint64_t> completedRounds_{0};
  base::Worker worker_{"tarnix-changes"};
};

}  // namespace tarnix::host
