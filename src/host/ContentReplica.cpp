#include "host/ContentReplica.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <vector>

#include "host/EvictionPolicy.hpp"
#include "host/RangeFetchPolicy.hpp"

namespace tarnix::host {

namespace fs = std::filesystem;

struct OpenContent::Partial {
  std::mutex mutex;                 // guards ranges, run and inFlight
  std::condition_variable changed;  // a fetch in flight ended
  fp::ItemIdentifier identifier;
  fp::ItemVersion version;
  std::int64_t size = 0;
  fs::path file;
  int fd = -1;
  /// Present byte ranges as sorted, disjoint [begin, end) pairs.
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  SequentialRun run;
  /// Ranges being fetched (by a read or ahead of one), written into the file outside the mutex.
  std::vector<std::pair<std::int64_t, std::int64_t>> inFlight;

  ~Partial() {
    if (fd >= 0) ::close(fd);
  }
  void add(std::int64_t begin, std::int64_t end) {
    ranges.emplace_back(begin, end);
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<std::int64_t, std::int64_t>> merged;
    for (const auto& r : ranges) {
      if (!merged.empty() && r.first <= merged.back().second)
        merged.back().second = std::max(merged.back().second, r.second);
      else
        merged.push_back(r);
    }
    ranges = std::move(merged);
  }
  bool covers(std::int64_t begin, std::int64_t end) const {
    if (begin >= end) return true;
    for (const auto& r : ranges)
      if (r.first <= begin && end <= r.second) return true;
    return false;
  }
  bool complete() const { return covers(0, size); }
  bool fetching(std::int64_t at) const {
    for (const auto& r : inFlight)
      if (r.first <= at && at < r.second) return true;
    return false;
  }
  /// Where the first fetch in flight after `at` starts (the end of the file when none does).
  std::int64_t nextInFlight(std::int64_t at) const {
    std::int64_t next = size;
    for (const auto& r : inFlight)
      if (r.first > at) next = std::min(next, r.first);
    return next;
  }
  void landed(std::pair<std::int64_t, std::int64_t> fetched, fp::ByteRange delivered) {
    if (auto it = std::find(inFlight.begin(), inFlight.end(), fetched); it != inFlight.end())
      inFlight.erase(it);
    if (delivered.length > 0) add(delivered.location, delivered.location + delivered.length);
    changed.notify_all();
  }
};

OpenContent::~OpenContent() {
  if (!partial_ && fd_ >= 0) ::close(fd_);
}

ContentReplica::ContentReplica(std::shared_ptr<ReplicaStore> store,
                               std::shared_ptr<ExtensionCalls> calls, ContentReplicaOptions options,
                               base::Logger logger)
    : store_(std::move(store)),
      calls_(std::move(calls)),
      options_(std::move(options)),
      logger_(std::move(logger)) {
  std::error_code ignored;
  fs::create_directories(options_.contentsDirectory, ignored);
  for (auto& thread : readAheadThreads_) thread = std::thread([this] { runReadAhead(); });
}

ContentReplica::~ContentReplica() {
  {
    std::lock_guard lock(readAheadMutex_);
    stopping_ = true;
  }
  readAheadCv_.notify_all();
  for (auto& thread : readAheadThreads_) thread.join();
}

void ContentReplica::runReadAhead() {
  while (true) {
    std::function<void()> next;
    {
      std::unique_lock lock(readAheadMutex_);
      readAheadCv_.wait(lock, [&] { return stopping_ || !readAheads_.empty(); });
      if (stopping_) return;
      next = std::move(readAheads_.front());
      readAheads_.pop_front();
    }
    next();
  }
}

fs::path ContentReplica::contentsPath(Inode inode) const {
  return options_.contentsDirectory / std::to_string(inode);
}

std::int64_t ContentReplica::nextAccess() {
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::lock_guard lock(mutex_);
  lastAccess_ = std::max<std::int64_t>(lastAccess_ + 1, now);
  return lastAccess_;
}

std::shared_ptr<std::mutex> ContentReplica::fetchMutex(Inode inode) {
  std::lock_guard lock(mutex_);
  auto& slot = fetchMutexes_[inode];
  auto existing = slot.lock();
  if (existing) return existing;
  auto made = std::make_shared<std::mutex>();
  slot = made;
  return made;
}

bool ContentReplica::isOpen(Inode inode) const {
  std::lock_guard lock(mutex_);
  auto it = openCounts_.find(inode);
  return it != openCounts_.end() && it->second > 0;
}

void ContentReplica::discard(const fs::path& contentsFile) {
  std::error_code ec;
  fs::remove(contentsFile, ec);
}

// Moves a file the extension handed over to `destination` (copying when it lies on another
// file system).
static std::error_code adopt(const fs::path& from, const fs::path& destination) {
  std::error_code ec;
  fs::rename(from, destination, ec);
  if (!ec) return ec;
  ec.clear();
  fs::copy_file(from, destination, fs::copy_options::overwrite_existing, ec);
  std::error_code ignored;
  fs::remove(from, ignored);
  return ec;
}

std::expected<void, int> ContentReplica::fetchWhole(const ReplicaEntry& entry) {
  auto fetched = calls_->fetchContents(entry.identifier);
  if (!fetched) {
    logger_.error("Fetching contents failed: " + fetched.error().description());
    return std::unexpected(fetched.error().errnoValue());
  }
  const fs::path destination = contentsPath(entry.inode);
  if (auto ec = adopt(fetched->file, destination)) {
    logger_.error("Keeping fetched contents failed: " + ec.message());
    return std::unexpected(EIO);
  }
  std::error_code ec;
  const auto size = static_cast<std::int64_t>(fs::file_size(destination, ec));
  if (ec) return std::unexpected(EIO);
  if (auto upserted = store_->upsert(*fetched->item); !upserted) return std::unexpected(EIO);
  const auto version = fetched->item->itemVersion().contentVersion;
  if (!store_->setContentPresent(entry.inode, version, destination, size, nextAccess()))
    return std::unexpected(EIO);
  return {};
}

std::expected<std::shared_ptr<OpenContent::Partial>, int> ContentReplica::partialFor(
    const ReplicaEntry& entry) {
  {
    std::lock_guard lock(mutex_);
    if (auto existing = partials_[entry.inode].lock();
        existing && existing->version == entry.version)
      return existing;
  }
  auto partial = std::make_shared<OpenContent::Partial>();
  partial->identifier = entry.identifier;
  partial->version = entry.version;
  partial->size = entry.size;
  partial->file = options_.contentsDirectory / (std::to_string(entry.inode) + ".partial");
  partial->fd = ::open(partial->file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (partial->fd < 0) return std::unexpected(errno);
  if (::ftruncate(partial->fd, entry.size) != 0) return std::unexpected(errno);
  std::lock_guard lock(mutex_);
  partials_[entry.inode] = partial;
  return partial;
}

std::expected<std::shared_ptr<OpenContent>, int> ContentReplica::open(Inode inode) {
  bool fetchedNow = false;
  auto opened = openLocked(inode, fetchedNow);
  // Outside the file's fetch mutex: eviction takes the fetch mutexes of other files.
  if (opened && fetchedNow) enforceLimit();
  return opened;
}

std::expected<std::shared_ptr<OpenContent>, int> ContentReplica::openLocked(Inode inode,
                                                                            bool& fetchedNow) {
  auto lock = fetchMutex(inode);
  std::lock_guard fetching(*lock);
  auto entry = store_->entry(inode);
  if (!entry) return std::unexpected(EIO);
  if (!*entry) return std::unexpected(ENOENT);
  const ReplicaEntry& e = **entry;
  if (e.isFolder) return std::unexpected(EISDIR);
  if (!fp::contains(e.capabilities, fp::ItemCapabilities::allowsReading))
    return std::unexpected(EACCES);

  std::shared_ptr<OpenContent> content(new OpenContent());
  content->inode_ = inode;
  const bool present = e.contentPresent && e.presentContentVersion == e.version.contentVersion &&
                       fs::exists(e.contentPath);
  if (!present && e.size > options_.partialThreshold) {
    auto partial = partialFor(e);
    if (!partial) return std::unexpected(partial.error());
    content->partial_ = *partial;
    content->fd_ = (*partial)->fd;
  } else {
    if (!present) {
      if (auto fetched = fetchWhole(e); !fetched) return std::unexpected(fetched.error());
      fetchedNow = true;
    } else {
      (void)store_->touch(inode, nextAccess());
      content->unchanged_ = true;
    }
    auto refreshed = store_->entry(inode);
    if (!refreshed || !*refreshed) return std::unexpected(EIO);
    content->fd_ = ::open((*refreshed)->contentPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (content->fd_ < 0) return std::unexpected(errno);
  }
  {
    std::lock_guard guard(mutex_);
    ++openCounts_[inode];
  }
  return content;
}

// Copies `length` bytes at `from` of `in` to `to` of `out`, in the kernel where it can; returns
// how many bytes were copied before the first failure.
static std::int64_t copyRange(int in, std::int64_t from, int out, std::int64_t to,
                              std::int64_t length) {
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

std::expected<fp::ByteRange, int> ContentReplica::fetchInto(OpenContent::Partial& partial,
                                                            fp::ByteRange wanted) {
  auto fetched =
      calls_->fetchPartialContents(partial.identifier, partial.version, wanted, options_.alignment);
  if (!fetched) {
    logger_.error("Fetching a range failed: " + fetched.error().description());
    return std::unexpected(fetched.error().errnoValue());
  }
  const int in = ::open(fetched->file.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return std::unexpected(EIO);
  struct stat st {};
  ::fstat(in, &st);
  auto range = fetched->range;
  range.location = std::clamp<std::int64_t>(range.location, 0, partial.size);
  range.length = std::clamp<std::int64_t>(range.length, 0, partial.size - range.location);
  // The delivered file holds the range at its place in the file; a file just as long as the
  // range holds the range alone.
  const std::int64_t sourceBase =
      (st.st_size < range.location + range.length && st.st_size == range.length) ? range.location
                                                                                 : 0;
  const auto done =
      copyRange(in, range.location - sourceBase, partial.fd, range.location, range.length);
  ::close(in);
  std::error_code ignored;
  fs::remove(fetched->file, ignored);
  return fp::ByteRange{range.location, done};
}

std::expected<void, int> ContentReplica::prepareRead(OpenContent& content, std::int64_t offset,
                                                     std::int64_t size) {
  if (!content.partial_) return {};
  auto& partial = *content.partial_;
  std::unique_lock lock(partial.mutex);
  const std::int64_t begin = std::min(offset, partial.size);
  const std::int64_t end = std::min(offset + size, partial.size);
  // Each round either finds the read present, waits for a fetch in flight (each is bounded by
  // the extension call's timeout) or fetches; a few rounds at the most in practice.
  for (int round = 0; round < 64; ++round) {
    if (partial.covers(begin, end)) {
      readAhead(content.partial_, end);
      return {};
    }
    std::int64_t missing = begin;
    for (const auto& [first, last] : partial.ranges)
      if (first <= missing && missing < last) missing = last;
    if (partial.fetching(missing)) {
      partial.changed.wait_for(lock, std::chrono::minutes(10),
                               [&] { return !partial.fetching(missing); });
      continue;
    }
    auto wanted = rangeToFetch(partial.ranges, partial.size, begin, end, partial.run,
                               {options_.alignment, options_.maximumWindow});
    wanted.length =
        std::max(std::min(wanted.length, partial.nextInFlight(wanted.location) - wanted.location),
                 end - wanted.location);
    const std::pair fetching{wanted.location, wanted.location + wanted.length};
    partial.inFlight.push_back(fetching);
    lock.unlock();
    auto delivered = fetchInto(partial, wanted);
    lock.lock();
    partial.landed(fetching, delivered.value_or(fp::ByteRange{}));
    if (!delivered) return std::unexpected(delivered.error());
    if (!partial.covers(begin, end)) return std::unexpected(EIO);
    readAhead(content.partial_, end);
    return {};
  }
  return std::unexpected(EIO);
}

void ContentReplica::readAhead(const std::shared_ptr<OpenContent::Partial>& shared,
                               std::int64_t readEnd) {
  auto& partial = *shared;
  // Only a sequential pass reads ahead: up to two windows past the one it reads, so that one
  // window downloads while the one before it is copied into the file.
  constexpr int kWindowsAhead = 2;
  for (int i = 0; i < kWindowsAhead; ++i) {
    const auto& run = partial.run;
    if (run.window < 2 * options_.alignment || run.end >= partial.size ||
        readEnd < run.end - kWindowsAhead * run.window || partial.covers(run.end, run.end + 1) ||
        partial.fetching(run.end))
      return;
    auto wanted = rangeToFetch(partial.ranges, partial.size, run.end, run.end + 1, partial.run,
                               {options_.alignment, options_.maximumWindow});
    wanted.length =
        std::min(wanted.length, partial.nextInFlight(wanted.location) - wanted.location);
    if (wanted.length <= 0) return;
    const std::pair fetching{wanted.location, wanted.location + wanted.length};
    partial.inFlight.push_back(fetching);
    {
      std::lock_guard lock(readAheadMutex_);
      readAheads_.push_back([this, weak = std::weak_ptr(shared), wanted, fetching] {
        auto partial = weak.lock();
        if (!partial) return;  // closed meanwhile: nobody waits for it
        auto delivered = fetchInto(*partial, wanted);
        std::lock_guard guard(partial->mutex);
        partial->landed(fetching, delivered.value_or(fp::ByteRange{}));
      });
    }
    readAheadCv_.notify_one();
  }
}

void ContentReplica::release(const std::shared_ptr<OpenContent>& content) {
  if (!content) return;
  const Inode inode = content->inode_;
  bool last = false;
  {
    std::lock_guard lock(mutex_);
    auto it = openCounts_.find(inode);
    if (it != openCounts_.end() && --it->second <= 0) {
      openCounts_.erase(it);
      last = true;
    }
  }
  if (last && content->partial_) {
    auto& partial = *content->partial_;
    std::lock_guard lock(partial.mutex);
    if (partial.complete()) {
      const auto destination = contentsPath(inode);
      std::error_code ec;
      fs::rename(partial.file, destination, ec);
      if (!ec)
        (void)store_->setContentPresent(inode, partial.version.contentVersion, destination,
                                        partial.size, nextAccess());
    } else {
      std::error_code ignored;
      fs::remove(partial.file, ignored);
    }
    std::lock_guard guard(mutex_);
    partials_.erase(inode);
  }
  if (last) enforceLimit();
}

std::vector<Inode> ContentReplica::enforceLimit() {
  auto present = store_->presentContents();
  if (!present) return {};
  std::set<Inode> open;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [inode, count] : openCounts_)
      if (count > 0) open.insert(inode);
  }
  auto victims = selectEvictions(std::move(*present), open, options_.cacheLimit);
  std::vector<Inode> evicted;
  for (const Inode inode : victims) {
    auto lock = fetchMutex(inode);
    std::lock_guard fetching(*lock);
    if (isOpen(inode)) continue;  // opened since the selection
    auto path = store_->clearContent(inode);
    if (!path) continue;
    if (*path) discard(**path);
    evicted.push_back(inode);
  }
  return evicted;
}

}  // namespace tarnix::host
