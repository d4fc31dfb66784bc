#pragma once
// The contents the host holds for one domain: files fetched whole with fetchContents on first
// open, or range by range with fetchPartialContents for large files read before they are
// present; which files are open; and the cache limit, kept by evicting the least recently used
// files that are not open back to dataless.
//
// A sequential pass over a file fetched range by range reads ahead on threads of the replica's
// own, so that the next windows arrive while the reader consumes this one.
//
// Thread-safe. Lock order: a file's fetch mutex, then mutex_; a range-by-range file's mutex,
// then readAheadMutex_; the store takes its own mutex inside any and calls nothing back.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "base/Logger.hpp"
#include "host/ExtensionCalls.hpp"
#include "host/ReplicaStore.hpp"

namespace tarnix::host {

struct ContentReplicaOptions {
  std::filesystem::path contentsDirectory;
  std::int64_t cacheLimit = std::int64_t{10} << 30;
  /// Files larger than this are read range by range until they are present.
  std::int64_t partialThreshold = std::int64_t{64} << 20;
  /// Ranges are fetched in multiples of this.
  std::int64_t alignment = std::int64_t{1} << 20;
  /// Sequential reads fetch growing ranges, up to this (see RangeFetchPolicy.hpp).
  std::int64_t maximumWindow = std::int64_t{64} << 20;
};

/// An open file: the replica file's descriptor, and for a file fetched range by range the
/// ranges present so far.
class OpenContent {
 public:
  ~OpenContent();
  OpenContent(const OpenContent&) = delete;
  OpenContent& operator=(const OpenContent&) = delete;
  int fd() const { return fd_; }
  Inode inode() const { return inode_; }
  bool isPartial() const { return partial_ != nullptr; }
  /// The contents were present and unchanged since they were last read, so the kernel may keep
  /// the pages it holds of them (changes and evictions invalidate them).
  bool unchangedSinceLastOpen() const { return unchanged_; }

 private:
  friend class ContentReplica;
  struct Partial;
  OpenContent() = default;
  Inode inode_ = 0;
  int fd_ = -1;
  bool unchanged_ = false;
  std::shared_ptr<Partial> partial_;
};

class ContentReplica {
 public:
  ContentReplica(std::shared_ptr<ReplicaStore> store, std::shared_ptr<ExtensionCalls> calls,
                 ContentReplicaOptions options, base::Logger logger);
  /// Waits for the read-ahead in progress (bounded by the extension call's timeout).
  ~ContentReplica();
  ContentReplica(const ContentReplica&) = delete;
  ContentReplica& operator=(const ContentReplica&) = delete;

  /// Opens `inode` for reading: fetches the contents when they are not present at the item's
  /// version (whole, or prepares a range-by-range file for large ones). Errors are errno values.
  std::expected<std::shared_ptr<OpenContent>, int> open(Inode inode);
  /// Makes sure [offset, offset + size) of a range-by-range file is present.
  std::expected<void, int> prepareRead(OpenContent& content, std::int64_t offset,
                                       std::int64_t size);
  /// The file is closed; evicts when the cache is over its limit.
  void release(const std::shared_ptr<OpenContent>& content);

  /// Evicts until the cache fits its limit; returns the inodes evicted.
  std::vector<Inode> enforceLimit();
  /// Removes the contents file of an item whose contents no longer apply.
  void discard(const std::filesystem::path& contentsFile);
  bool isOpen(Inode inode) const;
  std::int64_t cacheLimit() const { return options_.cacheLimit; }

 private:
  std::expected<std::shared_ptr<OpenContent>, int> openLocked(Inode inode, bool& fetchedNow);
  std::expected<void, int> fetchWhole(const ReplicaEntry& entry);
  std::expected<std::shared_ptr<OpenContent::Partial>, int> partialFor(const ReplicaEntry& entry);
  /// Fetches `wanted` into the file (no lock held); the range delivered and copied.
  std::expected<fp::ByteRange, int> fetchInto(OpenContent::Partial& partial, fp::ByteRange wanted);
  /// With the file's mutex held: after a read that ended at `readEnd`, queues the next window.
  void readAhead(const std::shared_ptr<OpenContent::Partial>& partial, std::int64_t readEnd);
  void runReadAhead();
  std::shared_ptr<std::mutex> fetchMutex(Inode inode);
  std::int64_t nextAccess();
  std::filesystem::path contentsPath(Inode inode) const;

  std::shared_ptr<ReplicaStore> store_;
  std::shared_ptr<ExtensionCalls> calls_;
  ContentReplicaOptions options_;
  base::Logger logger_;

  mutable std::mutex mutex_;  // guards the fields below
  std::map<Inode, int> openCounts_;
  std::map<Inode, std::weak_ptr<std::mutex>> fetchMutexes_;
  std::map<Inode, std::weak_ptr<OpenContent::Partial>> partials_;
  std::int64_t lastAccess_ = 0;

  std::mutex readAheadMutex_;  // guards the three fields below
  std::condition_variable readAheadCv_;
  std::deque<std::function<void()>> readAheads_;
  bool stopping_ = false;
  std::array<std::thread, 2> readAheadThreads_;
};

}  // namespace tarnix::host
