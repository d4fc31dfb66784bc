#pragma once
// Contents written in the mount, carried to the extension. A file made here, or written and
// then closed or synced, gets a private snapshot of its local edit and a writeContents entry in
// the replica store's journal; a worker sends the entries in order: a file made here with
// createItem, new contents of a known file with modifyItem based on the version the edit started
// from (so that a newer version someone else made meanwhile is kept by the cloud as a conflict,
// never overwritten). Only the latest snapshot of an item is sent; older ones go unsent.
//
// - Confirmed: the store takes the extension's item (a file made here its identifier); when
//   nothing was written since the snapshot, the edit becomes the present contents.
// - Refused for good (too large, a name or type the cloud refuses, no permission): the edit stays
//   in the mount with the reason (ReplicaEntry::localError) until it is written again.
// - A failure that may pass (no answer, no network, a server fault): sent again after a pause
//   that grows with each failure in a row (capped).
// - Files the unwanted-item rules call temporary (editors' swap and lock files) stay local.
// - start() sends what an earlier run left: its journal entries, and edits written but never
//   snapshotted (the process ended before the file was closed).
//
// Thread-safe; calls block on the extension only on the worker's thread.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "host/ContentReplica.hpp"
#include "host/ExtensionCalls.hpp"
#include "host/KernelCache.hpp"
#include "host/ReplicaStore.hpp"

namespace tarnix::host {

struct ContentChangesOptions {
  /// Pauses before a transient failure is sent again: the first, doubling up to the last.
  std::chrono::milliseconds firstRetry{2000};
  std::chrono::milliseconds longestRetry{300000};
};

class ContentChanges {
 public:
  /// `calls` wait as long as an upload may take.
  ContentChanges(std::shared_ptr<ReplicaStore> store, std::shared_ptr<ExtensionCalls> calls,
                 std::shared_ptr<ContentReplica> contents, KernelCache& kernel,
                 ContentChangesOptions options, base::Logger logger);
  ~ContentChanges();
  ContentChanges(const ContentChanges&) = delete;
  ContentChanges& operator=(const ContentChanges&) = delete;

  /// Starts the worker (what an earlier run left is sent first). Once only.
  void start() TARNIX_EXCLUDES(mutex_);
  /// Asks the worker to stop after what it sends now (which the extension's invalidation
  /// cancels). What is not confirmed stays in the journal for the next start. Idempotent.
  void stop() TARNIX_EXCLUDES(mutex_);
  /// Waits for the worker to end (after stop()).
  void join();

  /// A new file `name` in `parent`, open for writing: EEXIST when the name is taken, EACCES when
  /// the folder does not allow adding.
  std::expected<std::pair<ReplicaEntry, std::shared_ptr<OpenContent>>, int> create(
      Inode parent, const std::string& name) TARNIX_EXCLUDES(mutex_);
  /// A rename this class carries out, none when it is the namespace's to make: a file made here
  /// and not sent yet moves in the mount alone (its upload takes the new place); a file made
  /// here saved over another file (an editor's atomic save) becomes new contents of that file.
  std::optional<std::expected<void, int>> rename(Inode parent, const std::string& name,
                                                 Inode newParent, const std::string& newName,
                                                 unsigned flags) TARNIX_EXCLUDES(mutex_);
  /// The local edit of `inode` as it is now is to reach the cloud: snapshot, journal entry,
  /// worker. Returns once the entry is safe in the journal.
  std::expected<void, int> commit(Inode inode) TARNIX_EXCLUDES(mutex_);
  /// A handle open for writing `inode` was released without writing since the contents were
  /// handed on: once no writer is left and the cloud has those contents, the local edit ends.
  void writerClosed(Inode inode) TARNIX_EXCLUDES(mutex_);
  /// How far the upload of `inode` has gone, when it is being sent now: bytes the cloud has
  /// acknowledged and the size.
  std::optional<std::pair<std::int64_t, std::int64_t>> uploadProgress(Inode inode)
      TARNIX_EXCLUDES(mutex_);

 private:
  using Clock = std::chrono::steady_clock;
  void run() TARNIX_EXCLUDES(mutex_);
  /// Sends the oldest due entry; false when none is due.
  bool sendNext() TARNIX_EXCLUDES(mutex_);
  /// Sends `entry`: the answer settles it, refuses it or leaves it for a retry.
  void send(const JournalEntry& entry) TARNIX_EXCLUDES(mutex_);
  /// The file at `inode`, now known to the cloud, was moved here to where `wanted` says while
  /// it was sent: the move is sent now.
  void followLocalMove(const ReplicaEntry& wanted, Inode inode);
  /// Journal entries for edits that have none (written, never closed, before a restart).
  void journalUnsentEdits();

  std::shared_ptr<ReplicaStore> store_;
  std::shared_ptr<ExtensionCalls> calls_;
  std::shared_ptr<ContentReplica> contents_;
  KernelCache& kernel_;
  ContentChangesOptions options_;
  base::Logger logger_;

  base::Mutex mutex_;
  base::CondVar changed_{&mutex_};
  /// When each item whose last attempt failed may be sent again, and how many failed in a row.
  std::map<std::string, std::pair<Clock::time_point, int>> retries_ TARNIX_GUARDED_BY(mutex_);
  /// The upload under way: its file, size and progress.
  struct Sending {
    Inode inode = 0;
    std::int64_t size = 0;
    fp::ProgressPtr progress;
  };
  std::optional<Sending> sending_ TARNIX_GUARDED_BY(mutex_);
  bool wake_ TARNIX_GUARDED_BY(mutex_) = false;
  bool started_ TARNIX_GUARDED_BY(mutex_) = false;
  bool stopping_ TARNIX_GUARDED_BY(mutex_) = false;
  std::thread worker_;
};

}  // namespace tarnix::host
