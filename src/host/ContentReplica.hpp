#pragma once
// The contents the host holds for one domain: files fetched whole with fetchContents on first
// open, or range by range with fetchPartialContents for large files read before they are
// present; which files are open; and the cache limit, kept by evicting the least recently used
// files that are not open back to dataless.
//
// A local edit (a file made or written here, not yet confirmed by the extension) has a file of
// its own ("Contents/local-<uuid>") that readers and writers share; each upload sends a private
// snapshot of it ("Contents/snapshot-<uuid>"), so later writes never change bytes being sent.
//
// Every content version has a file of its own ("Contents/<inode>-<digest of the version>", and
// ".partial" while it is fetched range by range), so a new version never changes the bytes an
// open of an older one reads. The ranges of a large file stay after its last close while its
// version does, so reading it again fetches nothing twice; they count against the cache limit as
// whole files do, and the limit is enforced after every fetch, so it holds but for open files
// and the windows still arriving. A sequential pass over such a file reads ahead on the replica's
// own worker, so that the next windows arrive while the reader consumes this one.
//
// Thread-safe. Lock order, outermost first: a file's fetch mutex (fetchMutex()), a range-by-range
// file's mutex (RangeFile::mutex), mutex_, then the store's own mutex (the store calls nothing
// back). The worker's queue lock is a leaf.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "base/Worker.hpp"
#include "host/ByteRanges.hpp"
#include "host/ExtensionCalls.hpp"
#include "host/RangeFetchPolicy.hpp"
#include "host/ReplicaError.hpp"
#include "host/ReplicaStore.hpp"

namespace tarnix::host {

struct ContentReplicaOptions {
  std::filesystem::path contentsDirectory;
  /// Where the extension puts downloads in progress (emptied by removeLeftovers()).
  std::filesystem::path temporaryDirectory;
  std::int64_t cacheLimit = std::int64_t{10} << 30;
  /// Files larger than this are read range by range until they are present.
  std::int64_t partialThreshold = std::int64_t{64} << 20;
  /// Ranges are fetched in multiples of this.
  std::int64_t alignment = std::int64_t{1} << 20;
  /// Sequential reads fetch growing ranges, up to this (see RangeFetchPolicy.hpp).
  std::int64_t maximumWindow = std::int64_t{64} << 20;
};

/// A file being fetched range by range, at one content version: the ranges present and in
/// flight, and how many opens hold it. Made and kept by the content replica.
class OpenContent;

struct RangeFile {
  RangeFile(Inode inode, fp::ItemIdentifier identifier, fp::ItemVersion version, std::int64_t size,
            std::filesystem::path file)
      : inode(inode),
        identifier(std::move(identifier)),
        version(std::move(version)),
        size(size),
        file(std::move(file)) {}
  RangeFile(const RangeFile&) = delete;
  RangeFile& operator=(const RangeFile&) = delete;

  const Inode inode;
  const fp::ItemIdentifier identifier;
  const fp::ItemVersion version;
  const std::int64_t size;
  const std::filesystem::path file;

  base::Mutex mutex;
  base::CondVar landed{&mutex};  // a fetch in flight ended
  ByteRanges ranges TARNIX_GUARDED_BY(mutex);
  /// The sequential pass of each open (see RangeFetchPolicy.hpp).
  std::map<const OpenContent*, SequentialRun> runs TARNIX_GUARDED_BY(mutex);
  int opens TARNIX_GUARDED_BY(mutex) = 0;
  std::int64_t lastAccess TARNIX_GUARDED_BY(mutex) = 0;
  /// Superseded by a newer version or evicted: its file is gone from the folder, and only the
  /// opens that hold it still read (and fetch into) it.
  bool retired TARNIX_GUARDED_BY(mutex) = false;
};

/// An open file: a descriptor of its own on the file of the content version it opened, and for
/// a file fetched range by range that file.
class OpenContent {
 public:
  ~OpenContent();
  OpenContent(const OpenContent&) = delete;
  OpenContent& operator=(const OpenContent&) = delete;
  int fd() const { return fd_; }
  Inode inode() const { return inode_; }
  bool isPartial() const { return range_ != nullptr; }
  /// The contents were present and unchanged since they were last read, so the kernel may keep
  /// the pages it holds of them (changes and evictions invalidate them).
  bool unchangedSinceLastOpen() const { return unchanged_; }
  /// The content version this open reads (kLocalEdit for the local edit's file).
  const fp::Data& contentVersion() const { return contentVersion_; }
  bool isWritable() const { return writable_; }
  /// What the content version of opens of a local edit reads as.
  static const fp::Data kLocalEdit;

 private:
  friend class ContentReplica;
  OpenContent() = default;
  Inode inode_ = 0;
  int fd_ = -1;
  bool unchanged_ = false;
  bool writable_ = false;
  fp::Data contentVersion_;
  std::shared_ptr<RangeFile> range_;
};

class ContentReplica {
 public:
  ContentReplica(std::shared_ptr<ReplicaStore> store, std::shared_ptr<ExtensionCalls> calls,
                 ContentReplicaOptions options, base::Logger logger);
  /// Stops (see stop()).
  ~ContentReplica();
  ContentReplica(const ContentReplica&) = delete;
  ContentReplica& operator=(const ContentReplica&) = delete;

  /// Removes what an earlier run left behind: files in the contents folder that the store does
  /// not record as present contents (partial files, older versions), and everything in the
  /// temporary folder; records as dataless the contents whose file is gone. For a mount to call
  /// before it starts the extension (no replica of the domain may run meanwhile).
  static void removeLeftovers(ReplicaStore& store, const ContentReplicaOptions& options,
                              const base::Logger& logger);

  /// Opens `inode` for reading: fetches the contents when they are not present at the item's
  /// version (whole, or prepares a range-by-range file for large ones).
  std::expected<std::shared_ptr<OpenContent>, ReplicaError> open(Inode inode);
  /// Opens `inode` for writing its local edit, which begins when none is under way: a copy of
  /// the contents (fetched first when they are not present), or empty with `truncate`.
  std::expected<std::shared_ptr<OpenContent>, ReplicaError> openForWriting(Inode inode,
                                                                           bool truncate);
  /// Makes a new file `name` in `parent` (an identifier of the host's own, an empty local edit)
  /// and opens it for writing.
  std::expected<std::pair<ReplicaEntry, std::shared_ptr<OpenContent>>, ReplicaError> createFile(
      Inode parent, const std::string& name);
  /// A private copy of the local edit of `inode` as it is now, and its size.
  std::expected<std::pair<std::filesystem::path, std::int64_t>, ReplicaError> snapshot(Inode inode);
  /// Whether an open for writing of `inode` is held.
  bool isOpenForWriting(Inode inode) const;
  /// Makes sure [offset, offset + size) of a range-by-range file is present.
  std::expected<void, ReplicaError> prepareRead(OpenContent& content, std::int64_t offset,
                                                std::int64_t size);
  /// The file is closed; evicts when the cache is over its limit.
  void release(const std::shared_ptr<OpenContent>& content);

  /// Evicts until the cache fits its limit; returns the inodes evicted.
  std::vector<Inode> enforceLimit();
  /// Removes the contents file of an item whose contents no longer apply.
  void discard(const std::filesystem::path& contentsFile);
  bool isOpen(Inode inode) const;
  /// Whether another open of the same item reads another content version than `content` (the
  /// kernel keeps one page cache per file: such opens must not share it).
  bool otherVersionOpen(const OpenContent& content) const;
  std::int64_t cacheLimit() const { return options_.cacheLimit; }

  /// Stops reading ahead (waiting for the fetches under way) and removes the files of ranges
  /// kept only in memory. Idempotent; nothing may be opened or read after it.
  void stop();

 private:
  struct Fetch;
  /// Fetches the whole contents, keeps them if they are as long as their item, and records them
  /// present; `into` reads them.
  std::expected<void, ReplicaError> fetchWhole(const ReplicaEntry& entry, OpenContent& into);
  /// With the item's fetch mutex held: drops the range file of another content version.
  void retireOtherVersion(const ReplicaEntry& entry);
  /// With the item's fetch mutex held: the range file of the item's version, made when none is.
  std::expected<std::shared_ptr<RangeFile>, ReplicaError> rangeFileFor(const ReplicaEntry& entry);
  /// Fetches `wanted` of `file` into `fd` (no lock held); the range delivered and copied.
  std::expected<fp::ByteRange, ReplicaError> fetchInto(const RangeFile& file, int fd,
                                                       fp::ByteRange wanted);
  /// After a read of `content` (an open of `file`) that ended at `readEnd`, the windows of its
  /// sequential pass to fetch ahead; they are in flight from now on. Posted once the file's
  /// mutex is released.
  std::vector<std::shared_ptr<Fetch>> readAheadLocked(RangeFile& file, const OpenContent& content,
                                                      std::int64_t readEnd)
      TARNIX_REQUIRES(file.mutex);
  void post(std::vector<std::shared_ptr<Fetch>> fetches);
  void runReadAhead(Fetch& fetch);
  /// The last open of a complete range-by-range file closed: its file becomes the contents.
  void finish(const std::shared_ptr<RangeFile>& file);
  /// Drops the file of `file` (superseded or evicted); its opens keep reading what they hold.
  void retire(RangeFile& file) TARNIX_REQUIRES(file.mutex);
  /// With `inode`'s fetch mutex held: back to dataless when nothing holds it open.
  bool evict(Inode inode);
  std::shared_ptr<base::Mutex> fetchMutex(Inode inode) TARNIX_EXCLUDES(mutex_);
  std::int64_t nextAccess() TARNIX_EXCLUDES(mutex_);
  std::filesystem::path contentsPath(Inode inode, const fp::Data& contentVersion) const;
  /// Opens the local edit's file of `inode` into `content` and counts the open.
  std::expected<void, ReplicaError> openLocal(const std::filesystem::path& file, Inode inode,
                                              bool writable, OpenContent& content);

  std::shared_ptr<ReplicaStore> store_;
  std::shared_ptr<ExtensionCalls> calls_;
  ContentReplicaOptions options_;
  base::Logger logger_;

  mutable base::Mutex mutex_;
  /// The opens of each item, by the content version they read.
  std::map<Inode, std::map<fp::Data, int>> opens_ TARNIX_GUARDED_BY(mutex_);
  std::map<Inode, std::weak_ptr<base::Mutex>> fetchMutexes_ TARNIX_GUARDED_BY(mutex_);
  /// Opens for writing, by item.
  std::map<Inode, int> writers_ TARNIX_GUARDED_BY(mutex_);
  /// The current range-by-range file of each inode, open or kept after its last close.
  std::map<Inode, std::shared_ptr<RangeFile>> rangeFiles_ TARNIX_GUARDED_BY(mutex_);
  std::int64_t lastAccess_ TARNIX_GUARDED_BY(mutex_) = 0;

  base::Worker readAhead_{"tarnix-ahead", 2};
};

}  // namespace tarnix::host
