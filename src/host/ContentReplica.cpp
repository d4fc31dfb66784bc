#include "host/ContentReplica.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include "base/Date.hpp"
#include "base/Hash.hpp"
#include "base/PrivateFiles.hpp"
#include "base/Uuid.hpp"
#include "host/EvictionPolicy.hpp"

namespace tarnix::host {

namespace fs = std::filesystem;

namespace {

using Kind = ReplicaError::Kind;

constexpr const char* kRangeFileSuffix = ".partial";
// How long a reader waits for a fetch that another began (which the extension call's own
// timeout bounds as well).
constexpr auto kFetchWait = std::chrono::minutes(10);

// A descriptor, closed with its owner.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Moves a file the extension handed over to `destination`. Across file systems it is copied to
// a name of its own first: a file that an open reads is replaced, never written over.
std::error_code adopt(const fs::path& from, const fs::path& destination) {
  std::error_code ec;
  fs::rename(from, destination, ec);
  if (!ec) return ec;
  const fs::path copy = destination.string() + ".copy";
  ec.clear();
  fs::copy_file(from, copy, fs::copy_options::overwrite_existing, ec);
  std::error_code ignored;
  fs::remove(from, ignored);
  if (!ec) fs::rename(copy, destination, ec);
  if (ec) fs::remove(copy, ignored);
  return ec;
}

// Copies `length` bytes at `from` of `in` to `to` of `out`, in the kernel where it can; returns
// how many bytes were copied before the first failure.
std::int64_t copyRange(int in, std::int64_t from, int out, std::int64_t to, std::int64_t length) {
  std::int64_t done = 0;
  while (done < length) {
    loff_t inOffset = from + done, outOffset = to + done;
    const auto copied = ::copy_file_range(in, &inOffset, out, &outOffset,
                                          static_cast<std::size_t>(length - done), 0);
    if (copied <= 0) break;
    done += copied;
  }
  std::vector<char> buffer(1 << 20);
  while (done < length) {
    const auto chunk =
        std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), length - done);
    const auto got = ::pread(in, buffer.data(), chunk, from + done);
    if (got <= 0 || ::pwrite(out, buffer.data(), got, to + done) != got) break;
    done += got;
  }
  return done;
}

ReplicaError storeFailed(const common::DatabaseError& error) {
  return ReplicaError::of(Kind::store, error.description());
}

std::int64_t nowMilliseconds() {
  return base::millisecondsSince1970(std::chrono::system_clock::now());
}

// Prefixes of the files of local edits and of their snapshots in the contents folder.
constexpr const char* kLocalEditPrefix = "local-";
constexpr const char* kSnapshotPrefix = "snapshot-";

}  // namespace

// A window fetched ahead of a reader, in flight from the moment it is made: it ends when it ran,
// or (as failed) when the worker drops it unrun. Never destroyed with its file's mutex held.
struct ContentReplica::Fetch {
  Fetch(std::shared_ptr<RangeFile> file, UniqueFd fd, fp::ByteRange wanted)
      : file(std::move(file)), fd(std::move(fd)), wanted(wanted) {}
  ~Fetch() {
    if (!ended) end({});
  }
  void end(fp::ByteRange delivered) {
    base::MutexLock lock(file->mutex);
    file->ranges.finishFetching(wanted, delivered);
    ended = true;
    file->landed.signalAll();
  }

  std::shared_ptr<RangeFile> file;
  UniqueFd fd;  // a duplicate of the reader's descriptor, to write what arrives
  fp::ByteRange wanted;
  bool ended = false;
};

OpenContent::~OpenContent() {
  if (fd_ >= 0) ::close(fd_);
}

ContentReplica::ContentReplica(std::shared_ptr<ReplicaStore> store,
                               std::shared_ptr<ExtensionCalls> calls, ContentReplicaOptions options,
                               base::Logger logger)
    : store_(std::move(store)),
      calls_(std::move(calls)),
      options_(std::move(options)),
      logger_(std::move(logger)) {
  base::createPrivateDirectories(options_.contentsDirectory);
  readAhead_.start();
}

ContentReplica::~ContentReplica() {
  stop();
}

void ContentReplica::stop() {
  readAhead_.stop();
  std::map<Inode, std::shared_ptr<RangeFile>> files;
  {
    base::MutexLock lock(mutex_);
    files.swap(rangeFiles_);
  }
  // Their ranges are known only here: the files would be of no use to the next run.
  for (const auto& [inode, file] : files) {
    base::MutexLock lock(file->mutex);
    retire(*file);
  }
}

const fp::Data OpenContent::kLocalEdit = "local edit";

void ContentReplica::removeLeftovers(ReplicaStore& store, const ContentReplicaOptions& options,
                                     const base::Logger& logger) {
  const auto same = [](const fs::path& path) {
    std::error_code ignored;
    return fs::weakly_canonical(path, ignored);
  };
  std::set<fs::path> kept;
  // Local edits and the snapshots their uploads send are the user's work: never leftovers.
  auto edits = store.localEdits();
  auto journal = store.journal();
  if (!edits || !journal) {
    logger.error("Leftover contents stay: the replica store failed");
    return;
  }
  for (const auto& e : *edits) kept.insert(same(*e.localContentPath));
  for (const auto& j : *journal)
    if (j.contentPath) kept.insert(same(*j.contentPath));
  auto present = store.presentContents();
  if (!present) {
    logger.error("Leftover contents stay: the replica store failed",
                 {{"error", present.error().description()}});
    return;
  }
  for (const auto& p : *present) {
    std::error_code ec;
    if (fs::exists(p.contentPath, ec))
      kept.insert(same(p.contentPath));
    else
      (void)store.clearContent(p.inode);
  }
  int removed = 0;
  const auto removeAll = [&](const fs::path& folder, bool keepRecorded) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      if (keepRecorded && kept.contains(same(entry.path()))) continue;
      std::error_code ignored;
      if (fs::remove_all(entry.path(), ignored) > 0) ++removed;
    }
  };
  removeAll(options.contentsDirectory, true);
  if (!options.temporaryDirectory.empty()) removeAll(options.temporaryDirectory, false);
  if (removed > 0) logger.info("Removed leftover contents", {{"files", std::to_string(removed)}});
}

fs::path ContentReplica::contentsPath(Inode inode, const fp::Data& contentVersion) const {
  base::Hasher hasher(base::HashAlgorithm::sha256);
  hasher.update(contentVersion);
  return options_.contentsDirectory /
         (std::to_string(inode) + "-" + hasher.finishHex().substr(0, 16));
}

std::int64_t ContentReplica::nextAccess() {
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  base::MutexLock lock(mutex_);
  lastAccess_ = std::max<std::int64_t>(lastAccess_ + 1, now);
  return lastAccess_;
}

std::shared_ptr<base::Mutex> ContentReplica::fetchMutex(Inode inode) {
  base::MutexLock lock(mutex_);
  auto& slot = fetchMutexes_[inode];
  if (auto existing = slot.lock()) return existing;
  auto made = std::make_shared<base::Mutex>();
  slot = made;
  return made;
}

bool ContentReplica::isOpen(Inode inode) const {
  base::MutexLock lock(mutex_);
  return opens_.contains(inode);
}

bool ContentReplica::otherVersionOpen(const OpenContent& content) const {
  base::MutexLock lock(mutex_);
  auto it = opens_.find(content.inode_);
  if (it == opens_.end()) return false;
  return std::any_of(it->second.begin(), it->second.end(),
                     [&](const auto& open) { return open.first != content.contentVersion_; });
}

void ContentReplica::discard(const fs::path& contentsFile) {
  std::error_code ec;
  fs::remove(contentsFile, ec);
}

std::expected<std::shared_ptr<OpenContent>, ReplicaError> ContentReplica::open(Inode inode) {
  std::shared_ptr<OpenContent> content(new OpenContent());
  content->inode_ = inode;
  bool fetchedNow = false;
  {
    const auto lock = fetchMutex(inode);
    base::MutexLock fetching(*lock);
    auto found = store_->entry(inode);
    if (!found) return std::unexpected(storeFailed(found.error()));
    if (!*found) return std::unexpected(ReplicaError::of(Kind::noSuchItem));
    const ReplicaEntry& e = **found;
    if (e.isFolder) return std::unexpected(ReplicaError::of(Kind::isFolder));
    if (!fp::contains(e.capabilities, fp::ItemCapabilities::allowsReading))
      return std::unexpected(ReplicaError::of(Kind::notReadable));
    if (e.hasLocalEdit()) {
      if (auto opened = openLocal(*e.localContentPath, inode, false, *content); !opened)
        return std::unexpected(opened.error());
      return content;
    }
    retireOtherVersion(e);

    std::error_code ec;
    const bool present = e.contentPresent && e.presentContentVersion == e.version.contentVersion &&
                         fs::exists(e.contentPath, ec);
    if (!present && e.size > options_.partialThreshold) {
      auto file = rangeFileFor(e);
      if (!file) return std::unexpected(file.error());
      content->fd_ = ::open((*file)->file.c_str(), O_RDWR | O_CLOEXEC);
      if (content->fd_ < 0)
        return std::unexpected(ReplicaError::fromErrno(errno, "opening a range file"));
      content->range_ = *file;
      content->contentVersion_ = (*file)->version.contentVersion;
      const auto access = nextAccess();
      base::MutexLock guard((*file)->mutex);
      ++(*file)->opens;
      (*file)->lastAccess = access;
    } else if (present) {
      content->fd_ = ::open(e.contentPath.c_str(), O_RDONLY | O_CLOEXEC);
      if (content->fd_ < 0)
        return std::unexpected(ReplicaError::fromErrno(errno, "opening present contents"));
      (void)store_->touch(inode, nextAccess());
      content->unchanged_ = true;
      content->contentVersion_ = e.presentContentVersion;
    } else {
      if (auto fetched = fetchWhole(e, *content); !fetched) return std::unexpected(fetched.error());
      fetchedNow = true;
    }
    base::MutexLock guard(mutex_);
    ++opens_[inode][content->contentVersion_];
  }
  // Outside the file's fetch mutex: eviction takes the fetch mutexes of other files.
  if (fetchedNow) enforceLimit();
  return content;
}

std::expected<void, ReplicaError> ContentReplica::openLocal(const fs::path& file, Inode inode,
                                                            bool writable, OpenContent& content) {
  content.fd_ = ::open(file.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (content.fd_ < 0)
    return std::unexpected(ReplicaError::fromErrno(errno, "opening a local edit"));
  content.writable_ = writable;
  content.contentVersion_ = OpenContent::kLocalEdit;
  base::MutexLock guard(mutex_);
  ++opens_[inode][content.contentVersion_];
  if (writable) ++writers_[inode];
  return {};
}

std::expected<std::shared_ptr<OpenContent>, ReplicaError> ContentReplica::openForWriting(
    Inode inode, bool truncate) {
  auto found = store_->entry(inode);
  if (!found) return std::unexpected(storeFailed(found.error()));
  if (!*found) return std::unexpected(ReplicaError::of(Kind::noSuchItem));
  if ((*found)->isFolder) return std::unexpected(ReplicaError::of(Kind::isFolder));
  if (!fp::contains((*found)->capabilities, fp::ItemCapabilities::allowsWriting))
    return std::unexpected(ReplicaError::of(Kind::notWritable));
  // The contents the edit starts from, read as an open reads them (fetched when needed), before
  // the item's fetch mutex is taken.
  std::shared_ptr<OpenContent> source;
  const auto releaseSource = [&] {
    if (source) release(std::exchange(source, nullptr));
  };
  if (!(*found)->hasLocalEdit() && !truncate && (*found)->size > 0) {
    auto opened = open(inode);
    if (!opened) return std::unexpected(opened.error());
    source = std::move(*opened);
    if (source->isPartial()) {
      if (auto ready = prepareRead(*source, 0, source->range_->size); !ready) {
        releaseSource();
        return std::unexpected(ready.error());
      }
    }
  }
  std::shared_ptr<OpenContent> content(new OpenContent());
  content->inode_ = inode;
  {
    const auto lock = fetchMutex(inode);
    base::MutexLock fetching(*lock);
    auto current = store_->entry(inode);
    if (!current || !*current) {
      releaseSource();
      return std::unexpected(current ? ReplicaError::of(Kind::noSuchItem)
                                     : storeFailed(current.error()));
    }
    fs::path file;
    if ((*current)->hasLocalEdit()) {
      file = *(*current)->localContentPath;
    } else {
      file = options_.contentsDirectory / (kLocalEditPrefix + base::makeUuid());
      UniqueFd out(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (out.get() < 0) {
        const int error = errno;
        releaseSource();
        return std::unexpected(ReplicaError::fromErrno(error, "making a local edit"));
      }
      std::int64_t size = 0;
      if (source) {
        struct stat st {};
        size = source->isPartial()               ? source->range_->size
               : ::fstat(source->fd(), &st) == 0 ? static_cast<std::int64_t>(st.st_size)
                                                 : -1;
        if (size < 0 || copyRange(source->fd(), 0, out.get(), 0, size) != size) {
          const int error = errno;
          discard(file);
          releaseSource();
          return std::unexpected(ReplicaError::fromErrno(error ? error : EIO, "copying contents"));
        }
      }
      auto begun = store_->beginLocalEdit(inode, file);
      if (begun) begun = store_->setLocalAttributes(inode, size, std::nullopt);
      if (!begun) {
        discard(file);
        releaseSource();
        return std::unexpected(storeFailed(begun.error()));
      }
    }
    releaseSource();
    if (auto opened = openLocal(file, inode, true, *content); !opened)
      return std::unexpected(opened.error());
    if (truncate) {
      if (::ftruncate(content->fd_, 0) != 0)
        return std::unexpected(ReplicaError::fromErrno(errno, "truncating a local edit"));
      (void)store_->setLocalAttributes(inode, 0, nowMilliseconds());
    }
  }
  return content;
}

std::expected<std::pair<ReplicaEntry, std::shared_ptr<OpenContent>>, ReplicaError>
ContentReplica::createFile(Inode parent, const std::string& name) {
  const fs::path file = options_.contentsDirectory / (kLocalEditPrefix + base::makeUuid());
  {
    UniqueFd out(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0) return std::unexpected(ReplicaError::fromErrno(errno, "making a file"));
  }
  auto made = store_->createLocalFile(parent, name, ReplicaStore::newHostIdentifier(), file,
                                      nowMilliseconds());
  if (!made || !*made) {
    discard(file);
    return std::unexpected(made ? ReplicaError::of(Kind::noSuchItem) : storeFailed(made.error()));
  }
  std::shared_ptr<OpenContent> content(new OpenContent());
  content->inode_ = (*made)->inode;
  if (auto opened = openLocal(file, content->inode_, true, *content); !opened)
    return std::unexpected(opened.error());
  return std::make_pair(std::move(**made), std::move(content));
}

std::expected<std::pair<fs::path, std::int64_t>, ReplicaError> ContentReplica::snapshot(
    Inode inode) {
  auto found = store_->entry(inode);
  if (!found) return std::unexpected(storeFailed(found.error()));
  if (!*found || !(*found)->hasLocalEdit())
    return std::unexpected(ReplicaError::of(Kind::noSuchItem));
  UniqueFd in(::open((*found)->localContentPath->c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (in.get() < 0 || ::fstat(in.get(), &st) != 0)
    return std::unexpected(ReplicaError::fromErrno(errno, "reading a local edit"));
  const fs::path copy = options_.contentsDirectory / (kSnapshotPrefix + base::makeUuid());
  UniqueFd out(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) return std::unexpected(ReplicaError::fromErrno(errno, "making a snapshot"));
  const auto size = static_cast<std::int64_t>(st.st_size);
  // A clone shares the blocks where the file system can; otherwise the bytes are copied.
  const bool cloned = ::ioctl(out.get(), FICLONE, in.get()) == 0;
  if ((!cloned && copyRange(in.get(), 0, out.get(), 0, size) != size) || ::fsync(out.get()) != 0) {
    const int error = errno;
    discard(copy);
    return std::unexpected(ReplicaError::fromErrno(error ? error : EIO, "making a snapshot"));
  }
  return std::make_pair(copy, size);
}

bool ContentReplica::isOpenForWriting(Inode inode) const {
  base::MutexLock lock(mutex_);
  return writers_.contains(inode);
}

std::expected<void, ReplicaError> ContentReplica::fetchWhole(const ReplicaEntry& entry,
                                                             OpenContent& into) {
  auto fetched = calls_->fetchContents(entry.identifier);
  if (!fetched) {
    logger_.error("Fetching contents failed: " + fetched.error().description());
    return std::unexpected(ReplicaError::extension(fetched.error()));
  }
  fp::ItemPtr item = fetched->item;
  const fs::path destination = contentsPath(entry.inode, item->itemVersion().contentVersion);
  if (auto ec = adopt(fetched->file, destination)) {
    logger_.error("Keeping fetched contents failed: " + ec.message());
    return std::unexpected(ReplicaError::fileSystem(ec, "keeping fetched contents"));
  }
  UniqueFd fd(::open(destination.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
    const int error = errno;
    discard(destination);
    return std::unexpected(ReplicaError::fromErrno(error, "opening fetched contents"));
  }
  const auto size = static_cast<std::int64_t>(st.st_size);

  // A download that ended early looks complete to whoever reads it: only contents as long as
  // their item are kept. The item may be the one that is out of date, so it is asked for again.
  if (const auto expected = item->documentSize(); expected && *expected != size) {
    logger_.warning("Fetched contents differ in size from their item",
                    {{"itemID", entry.identifier.rawValue()},
                     {"expected", std::to_string(*expected)},
                     {"received", std::to_string(size)}});
    auto again = calls_->item(entry.identifier);
    if (again) {
      if (auto upserted = store_->upsert(**again); upserted && *upserted &&
                                                   (*upserted)->staleContentPath &&
                                                   *(*upserted)->staleContentPath != destination)
        discard(*(*upserted)->staleContentPath);
    }
    if (!again || (*again)->itemVersion().contentVersion != item->itemVersion().contentVersion ||
        (*again)->documentSize() != size) {
      discard(destination);
      return std::unexpected(
          ReplicaError::of(Kind::sizeMismatch, "received " + std::to_string(size) + " bytes of " +
                                                   std::to_string(expected.value_or(0))));
    }
    item = *again;
  }

  auto upserted = store_->upsert(*item);
  if (!upserted) {
    discard(destination);
    return std::unexpected(storeFailed(upserted.error()));
  }
  if (*upserted && (*upserted)->staleContentPath && *(*upserted)->staleContentPath != destination)
    discard(*(*upserted)->staleContentPath);
  if (auto recorded = store_->setContentPresent(entry.inode, item->itemVersion().contentVersion,
                                                destination, size, nextAccess());
      !recorded) {
    discard(destination);
    return std::unexpected(storeFailed(recorded.error()));
  }
  into.fd_ = fd.release();
  into.contentVersion_ = item->itemVersion().contentVersion;
  return {};
}

void ContentReplica::retireOtherVersion(const ReplicaEntry& entry) {
  std::shared_ptr<RangeFile> superseded;
  {
    base::MutexLock lock(mutex_);
    auto it = rangeFiles_.find(entry.inode);
    // A new name or place keeps what was fetched; new contents do not.
    if (it == rangeFiles_.end() ||
        it->second->version.contentVersion == entry.version.contentVersion)
      return;
    superseded = std::move(it->second);
    rangeFiles_.erase(it);
  }
  base::MutexLock lock(superseded->mutex);
  retire(*superseded);
}

std::expected<std::shared_ptr<RangeFile>, ReplicaError> ContentReplica::rangeFileFor(
    const ReplicaEntry& entry) {
  {
    base::MutexLock lock(mutex_);
    if (auto it = rangeFiles_.find(entry.inode); it != rangeFiles_.end()) return it->second;
  }
  auto path = contentsPath(entry.inode, entry.version.contentVersion);
  path += kRangeFileSuffix;
  auto file =
      std::make_shared<RangeFile>(entry.inode, entry.identifier, entry.version, entry.size, path);
  // A file left by an earlier range file of this version goes first: whoever still reads it
  // holds a descriptor of their own, and the new one starts empty.
  std::error_code ignored;
  fs::remove(path, ignored);
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) return std::unexpected(ReplicaError::fromErrno(errno, "making a range file"));
  if (::ftruncate(fd.get(), entry.size) != 0) {
    const int error = errno;
    fs::remove(path, ignored);
    return std::unexpected(ReplicaError::fromErrno(error, "sizing a range file"));
  }
  base::MutexLock lock(mutex_);
  rangeFiles_[entry.inode] = file;
  return file;
}

std::expected<fp::ByteRange, ReplicaError> ContentReplica::fetchInto(const RangeFile& file, int fd,
                                                                     fp::ByteRange wanted) {
  auto fetched =
      calls_->fetchPartialContents(file.identifier, file.version, wanted, options_.alignment);
  if (!fetched) {
    logger_.error("Fetching a range failed: " + fetched.error().description());
    return std::unexpected(ReplicaError::extension(fetched.error()));
  }
  std::error_code ignored;
  UniqueFd in(::open(fetched->file.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    const int error = errno;
    fs::remove(fetched->file, ignored);
    return std::unexpected(ReplicaError::fromErrno(error, "opening a fetched range"));
  }
  // Only the part of the delivered range inside the file is kept, read from where the
  // completion says it sits in the delivered file.
  const auto& delivered = fetched->delivered;
  const std::int64_t begin = std::clamp<std::int64_t>(delivered.range.location, 0, file.size);
  const std::int64_t end =
      std::clamp<std::int64_t>(delivered.range.location + delivered.range.length, begin, file.size);
  const std::int64_t source = delivered.fileOffset + (begin - delivered.range.location);
  const std::int64_t done = source < 0 ? 0 : copyRange(in.get(), source, fd, begin, end - begin);
  fs::remove(fetched->file, ignored);
  return fp::ByteRange{begin, done};
}

std::expected<void, ReplicaError> ContentReplica::prepareRead(OpenContent& content,
                                                              std::int64_t offset,
                                                              std::int64_t size) {
  if (!content.range_) return {};
  RangeFile& file = *content.range_;
  const std::int64_t begin = std::clamp<std::int64_t>(offset, 0, file.size);
  const std::int64_t end = std::clamp<std::int64_t>(offset + size, begin, file.size);
  const fp::ByteRange read{begin, end - begin};
  const RangeFetchLimits limits{options_.alignment, options_.maximumWindow};
  std::vector<std::shared_ptr<Fetch>> ahead;  // posted once the file's mutex is released
  // Each round finds the read present, waits for a fetch in flight or fetches; a few rounds at
  // the most in practice.
  for (int round = 0; round < 64; ++round) {
    fp::ByteRange wanted;
    {
      base::MutexLock lock(file.mutex);
      if (file.ranges.covers(read)) {
        ahead = readAheadLocked(file, content, end);
        break;
      }
      const std::int64_t missing = file.ranges.firstMissing(read).location;
      if (file.ranges.isFetching(missing)) {
        file.landed.waitFor(kFetchWait, [&]() TARNIX_REQUIRES(file.mutex) {
          return !file.ranges.isFetching(missing);
        });
        continue;
      }
      wanted = rangeToFetch(file.ranges, file.size, begin, end, file.runs[&content], limits);
      // Up to the next fetch in flight, but never short of the read.
      wanted.length =
          std::max(std::min(wanted.length, file.ranges.nextFetchAfter(wanted.location, file.size) -
                                               wanted.location),
                   end - wanted.location);
      file.ranges.startFetching(wanted);
    }
    auto delivered = fetchInto(file, content.fd_, wanted);
    bool covered = false;
    {
      base::MutexLock lock(file.mutex);
      file.ranges.finishFetching(wanted, delivered.value_or(fp::ByteRange{}));
      file.landed.signalAll();
      covered = file.ranges.covers(read);
      if (delivered && covered) ahead = readAheadLocked(file, content, end);
    }
    if (!delivered) return std::unexpected(delivered.error());
    // What arrived counts against the cache limit.
    enforceLimit();
    if (!covered) {
      post(std::move(ahead));
      return std::unexpected(ReplicaError::of(Kind::rangeNotDelivered));
    }
    break;
  }
  bool ready = false;
  {
    base::MutexLock lock(file.mutex);
    ready = file.ranges.covers(read);
  }
  post(std::move(ahead));
  if (!ready) return std::unexpected(ReplicaError::of(Kind::rangeNotDelivered));
  return {};
}

std::vector<std::shared_ptr<ContentReplica::Fetch>> ContentReplica::readAheadLocked(
    RangeFile& file, const OpenContent& content, std::int64_t readEnd) {
  auto& run = file.runs[&content];
  std::vector<std::shared_ptr<Fetch>> out;
  // Only a sequential pass reads ahead: up to two windows past the one it reads, so that one
  // window downloads while the one before it is copied into the file. Bytes already present are
  // passed over.
  constexpr int kWindowsAhead = 2;
  const RangeFetchLimits limits{options_.alignment, options_.maximumWindow};
  for (int i = 0; i < kWindowsAhead; ++i) {
    if (run.window < 2 * options_.alignment || run.end >= file.size ||
        readEnd < run.end - kWindowsAhead * run.window)
      break;
    const auto next = file.ranges.firstMissing({run.end, file.size - run.end});
    if (next.length <= 0 || file.ranges.isFetching(next.location)) break;
    auto wanted =
        rangeToFetch(file.ranges, file.size, next.location, next.location + 1, run, limits);
    wanted.length = std::min(
        wanted.length, file.ranges.nextFetchAfter(wanted.location, file.size) - wanted.location);
    if (wanted.length <= 0) break;
    UniqueFd copy(::fcntl(content.fd_, F_DUPFD_CLOEXEC, 0));
    if (copy.get() < 0) break;
    file.ranges.startFetching(wanted);
    out.push_back(std::make_shared<Fetch>(content.range_, std::move(copy), wanted));
  }
  return out;
}

void ContentReplica::post(std::vector<std::shared_ptr<Fetch>> fetches) {
  // A fetch the worker refuses (it is stopping) ends, as failed, with the last reference.
  for (auto& fetch : fetches) readAhead_.post([this, fetch] { runReadAhead(*fetch); });
}

void ContentReplica::runReadAhead(Fetch& fetch) {
  bool wanted = false;
  {
    base::MutexLock lock(fetch.file->mutex);
    wanted = fetch.file->opens > 0;
  }
  if (!wanted) return fetch.end({});  // closed before it began: nobody reads on
  auto delivered = fetchInto(*fetch.file, fetch.fd.get(), fetch.wanted);
  fetch.end(delivered.value_or(fp::ByteRange{}));
  if (delivered) enforceLimit();
}

void ContentReplica::release(const std::shared_ptr<OpenContent>& content) {
  if (!content) return;
  const Inode inode = content->inode_;
  bool last = false;
  {
    base::MutexLock lock(mutex_);
    if (auto it = opens_.find(inode); it != opens_.end()) {
      auto& byVersion = it->second;
      if (auto v = byVersion.find(content->contentVersion_);
          v != byVersion.end() && --v->second <= 0)
        byVersion.erase(v);
      if (byVersion.empty()) {
        opens_.erase(it);
        last = true;
      }
    }
    if (content->writable_) {
      if (auto w = writers_.find(inode); w != writers_.end() && --w->second <= 0) writers_.erase(w);
    }
  }
  if (const auto& file = content->range_) {
    const auto access = nextAccess();
    bool complete = false;
    {
      base::MutexLock lock(file->mutex);
      --file->opens;
      file->runs.erase(content.get());
      file->lastAccess = access;
      complete = file->opens == 0 && !file->retired && file->ranges.covers({0, file->size});
    }
    if (complete) finish(file);
  }
  if (last) enforceLimit();
}

void ContentReplica::finish(const std::shared_ptr<RangeFile>& file) {
  const auto lock = fetchMutex(file->inode);
  base::MutexLock fetching(*lock);
  {
    base::MutexLock guard(file->mutex);
    // Opened again meanwhile (it stays a range file), or superseded.
    if (file->opens > 0 || file->retired) return;
    file->retired = true;  // its file becomes the contents below
  }
  {
    base::MutexLock guard(mutex_);
    if (auto it = rangeFiles_.find(file->inode); it != rangeFiles_.end() && it->second == file)
      rangeFiles_.erase(it);
  }
  const auto destination = contentsPath(file->inode, file->version.contentVersion);
  std::error_code ec;
  fs::rename(file->file, destination, ec);
  if (ec) return discard(file->file);
  // Recorded only while the item is still at this version: a change may have come meanwhile.
  auto entry = store_->entry(file->inode);
  if (!entry || !*entry || (*entry)->version.contentVersion != file->version.contentVersion ||
      !store_->setContentPresent(file->inode, file->version.contentVersion, destination, file->size,
                                 nextAccess()))
    discard(destination);
}

void ContentReplica::retire(RangeFile& file) {
  if (file.retired) return;
  file.retired = true;
  discard(file.file);
}

std::vector<Inode> ContentReplica::enforceLimit() {
  auto present = store_->presentContents();
  if (!present) return {};
  std::set<Inode> open;
  std::vector<std::shared_ptr<RangeFile>> files;
  {
    base::MutexLock lock(mutex_);
    for (const auto& [inode, byVersion] : opens_) open.insert(inode);
    for (const auto& [inode, file] : rangeFiles_) files.push_back(file);
  }
  // Range files occupy what they hold; an inode counts once, as recently as its latest use.
  std::map<Inode, PresentContent> byInode;
  for (auto& p : *present) byInode.emplace(p.inode, std::move(p));
  for (const auto& file : files) {
    base::MutexLock lock(file->mutex);
    auto [it, added] =
        byInode.try_emplace(file->inode, PresentContent{file->inode, 0, 0, file->file});
    it->second.size += file->ranges.size();
    it->second.lastAccess = std::max(it->second.lastAccess, file->lastAccess);
  }
  std::vector<PresentContent> held;
  for (auto& [inode, p] : byInode) held.push_back(std::move(p));
  auto victims = selectEvictions(std::move(held), open, options_.cacheLimit);
  std::vector<Inode> evicted;
  for (const Inode inode : victims) {
    const auto lock = fetchMutex(inode);
    base::MutexLock fetching(*lock);
    if (evict(inode)) evicted.push_back(inode);
  }
  return evicted;
}

bool ContentReplica::evict(Inode inode) {
  if (isOpen(inode)) return false;  // opened since the selection
  bool evicted = false;
  if (auto path = store_->clearContent(inode)) {
    if (*path) discard(**path);
    evicted = true;
  }
  std::shared_ptr<RangeFile> kept;
  {
    base::MutexLock lock(mutex_);
    if (auto it = rangeFiles_.find(inode); it != rangeFiles_.end()) kept = it->second;
  }
  if (!kept) return evicted;
  base::MutexLock guard(kept->mutex);
  // A window still arriving keeps it until the next round.
  if (kept->opens > 0 || !kept->ranges.inFlight().empty()) return evicted;
  retire(*kept);
  base::MutexLock lock(mutex_);
  if (auto it = rangeFiles_.find(inode); it != rangeFiles_.end() && it->second == kept)
    rangeFiles_.erase(it);
  return true;
}

}  // namespace tarnix::host
