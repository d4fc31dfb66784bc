#pragma once
// Local changes of the namespace (new folders, renames and moves, removals) carried to the
// extension, each kept in the replica store's journal from before the extension is asked until
// it answered.
//
// - makeFolder, rename, removeFolder wait for the extension: journal entry, call, then the
//   store follows the extension's answer and the entry is cleared. A failure clears the entry
//   and answers its errno (the user knows the change did not happen); a process that dies
//   meanwhile leaves the entry for the next start.
// - removeFile answers at once: the entry is written and the item leaves the store; the
//   worker sends the deletion once no other removal came in its folder for `deletionDelay`. A
//   removal of the folder arriving first takes the unsent removals of its children with it
//   (one recursive deletion for `rm -r`). A refusal (no permission to delete) brings the item
//   back; other failures are sent again after a growing pause (capped).
// - A transient failure (no answer, no network, server fault, locked) of a waiting removal or
//   a replayed change is not taken as an answer: the removal is sent again, the replayed
//   change stays for the next start.
// - start() replays what an earlier run left in the journal, in order, on the worker.
//
// Permissions come from the items' capabilities before anything is sent: EACCES when the
// folder does not allow adding (writing), EPERM when the item may not be renamed, moved or
// deleted.
//
// Thread-safe. Calls block on the extension (FUSE request threads may); mutex_ is never held
// while calling the extension or the store.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "base/Worker.hpp"
#include "host/ContentReplica.hpp"
#include "host/ExtensionCalls.hpp"
#include "host/KernelCache.hpp"
#include "host/ReplicaStore.hpp"

namespace tarnix::host {

struct NamespaceOptions {
  /// How long removed files wait after the last removal in their folder before their deletions
  /// are sent (a removal of the folder meanwhile sends one deletion for all).
  std::chrono::milliseconds deletionDelay{1500};
  /// Pauses before a failed deletion is sent again: the first, doubling up to the last.
  std::chrono::milliseconds firstRetry{1000};
  std::chrono::milliseconds longestRetry{60000};
};

class NamespaceChanges {
 public:
  NamespaceChanges(std::shared_ptr<ReplicaStore> store, std::shared_ptr<ExtensionCalls> calls,
                   std::shared_ptr<ContentReplica> contents, KernelCache& kernel,
                   NamespaceOptions options, base::Logger logger);
  ~NamespaceChanges();
  NamespaceChanges(const NamespaceChanges&) = delete;
  NamespaceChanges& operator=(const NamespaceChanges&) = delete;

  /// Starts the worker, which first replays what the journal holds now. Once only.
  void start() TARNIX_EXCLUDES(mutex_);
  /// Sends the deletions still waiting once each, then stops the worker; what is not confirmed
  /// stays in the journal. Idempotent.
  void stop() TARNIX_EXCLUDES(mutex_);

  std::expected<ReplicaEntry, int> makeFolder(Inode parent, const std::string& name)
      TARNIX_EXCLUDES(mutex_);
  std::expected<void, int> removeFolder(Inode parent, const std::string& name)
      TARNIX_EXCLUDES(mutex_);
  std::expected<void, int> removeFile(Inode parent, const std::string& name)
      TARNIX_EXCLUDES(mutex_);
  /// `flags` as rename(2) takes them (RENAME_NOREPLACE, RENAME_EXCHANGE).
  std::expected<void, int> rename(Inode parent, const std::string& name, Inode newParent,
                                  const std::string& newName, unsigned flags)
      TARNIX_EXCLUDES(mutex_);

  /// Waits, at most `limit`, until the replay ended and no deletion waits or is being sent;
  /// true when so. For tests and tools.
  bool waitUntilSettled(std::chrono::milliseconds limit) TARNIX_EXCLUDES(mutex_);

 private:
  using Clock = std::chrono::steady_clock;
  struct Deferred {
    JournalEntry entry;
    Clock::time_point due;
    int attempts = 0;
  };

  void run(const std::vector<JournalEntry>& left) TARNIX_EXCLUDES(mutex_);
  /// Sends each waiting deletion once, without waiting; what fails stays in the journal.
  void sendWaitingOnce() TARNIX_EXCLUDES(mutex_);
  /// Sends again what an earlier run left in the journal, in order.
  void replay(const std::vector<JournalEntry>& entries) TARNIX_EXCLUDES(mutex_);
  /// Sends one deferred deletion and handles the answer; false when it should be sent again.
  bool sendDeletion(const JournalEntry& entry) TARNIX_EXCLUDES(mutex_);
  /// Sends now the waiting deletions of items named `name` in `parent`, so that the name is free
  /// in the cloud before it is used again.
  void freeName(const fp::ItemIdentifier& parent, const std::string& name) TARNIX_EXCLUDES(mutex_);
  /// Takes the waiting deletions `pick` chooses (after the ones being sent that it chooses
  /// ended); the caller sends them or gives them back.
  std::vector<Deferred> take(const std::function<bool(const JournalEntry&)>& pick)
      TARNIX_EXCLUDES(mutex_);
  void giveBack(std::vector<Deferred> deferred) TARNIX_EXCLUDES(mutex_);
  void queue(const JournalEntry& entry, Clock::time_point due) TARNIX_EXCLUDES(mutex_);

  std::expected<void, CallError> sendRemoveFolder(const JournalEntry& entry);
  std::expected<ReplicaEntry, int> sendRename(const JournalEntry& entry, const ReplicaEntry& item,
                                              bool replaying);
  std::expected<ReplicaEntry, int> sendCreateFolder(const JournalEntry& entry, bool replaying);

  /// Clears `ids`, recording `item` and removing `removed`; tells the kernel and the content
  /// replica what changed.
  std::optional<ReplicaStore::Settled> settle(const std::vector<std::int64_t>& ids,
                                              const fp::Item* item,
                                              const std::optional<fp::ItemIdentifier>& removed);
  /// Records the item as the extension has it now (after a refused change).
  void restore(const fp::ItemIdentifier& identifier);
  std::optional<JournalEntry> record(JournalEntry entry);
  JournalEntry entryFor(JournalEntry::Kind kind, const ReplicaEntry& item,
                        const fp::ItemIdentifier& parent) const;

  std::shared_ptr<ReplicaStore> store_;
  std::shared_ptr<ExtensionCalls> calls_;
  std::shared_ptr<ContentReplica> contents_;
  KernelCache& kernel_;
  NamespaceOptions options_;
  base::Logger logger_;

  base::Mutex mutex_;
  base::CondVar changed_{&mutex_};
  std::map<std::int64_t, Deferred> waiting_ TARNIX_GUARDED_BY(mutex_);
  /// Deletions being sent, by journal id.
  std::map<std::int64_t, JournalEntry> sending_ TARNIX_GUARDED_BY(mutex_);
  bool replayed_ TARNIX_GUARDED_BY(mutex_) = false;
  bool started_ TARNIX_GUARDED_BY(mutex_) = false;
  bool stopping_ TARNIX_GUARDED_BY(mutex_) = false;
  base::Worker worker_{"tarnix-journal"};
};

}  // namespace tarnix::host
