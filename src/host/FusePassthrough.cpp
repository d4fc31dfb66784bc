#include "host/FusePassthrough.hpp"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tarnix::host {
namespace {

// The parts of the kernel's FUSE protocol that libfuse 3.14 predates (protocol 7.40).
constexpr std::uint32_t kOpcodeInit = 26;
constexpr std::size_t kInHeaderSize = 40;       // fuse_in_header
constexpr std::size_t kOutHeaderSize = 16;      // fuse_out_header
constexpr std::size_t kInitInFlags2 = 16;       // fuse_init_in.flags2
constexpr std::size_t kInitOutFlags = 12;       // fuse_init_out.flags
constexpr std::size_t kInitOutFlags2 = 32;      // fuse_init_out.flags2
constexpr std::size_t kInitOutStackDepth = 36;  // fuse_init_out.max_stack_depth
constexpr std::size_t kInitOutMinSize = 40;
constexpr std::uint32_t kInitExt = 1u << 30;                  // FUSE_INIT_EXT
constexpr std::uint32_t kPassthroughFlag2 = 1u << (37 - 32);  // FUSE_PASSTHROUGH
// Backing files may themselves lie on a stacked file system (overlayfs in containers).
constexpr std::uint32_t kStackDepth = 2;
constexpr std::size_t kOpenOutSize = 16;  // fuse_open_out: fh, open_flags, backing_id
constexpr std::size_t kOpenOutFlags = 8;
constexpr std::size_t kOpenOutBackingId = 12;
constexpr std::uint32_t kOpenDirectIo = 1u << 0;
constexpr std::uint32_t kOpenKeepCache = 1u << 1;
constexpr std::uint32_t kOpenPassthrough = 1u << 7;

struct BackingMap {
  std::int32_t fd;
  std::uint32_t flags;
  std::uint64_t padding;
};
constexpr unsigned long kBackingOpen = _IOW(229, 1, BackingMap);
constexpr unsigned long kBackingClose = _IOW(229, 2, std::uint32_t);

template <class T>
T load(const void* base, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof(T));
  return value;
}

template <class T>
void store(void* base, std::size_t offset, T value) {
  std::memcpy(static_cast<char*>(base) + offset, &value, sizeof(T));
}

thread_local const FuseOpenMode* nextOpenReply = nullptr;

}  // namespace

FusePassthrough::FusePassthrough(bool wanted, base::Logger logger)
    : wanted_(wanted), logger_(std::move(logger)) {}

FusePassthrough::~FusePassthrough() {
  for (const auto& [inode, backing] : backings_) closeBacking(backing.id);
}

void FusePassthrough::markNextOpenReply(const FuseOpenMode* mode) {
  nextOpenReply = mode;
}

ssize_t FusePassthrough::read(int fd, void* buffer, std::size_t size) {
  const ssize_t got = ::read(fd, buffer, size);
  if (got >= static_cast<ssize_t>(kInHeaderSize + kInitInFlags2 + 4) &&
      load<std::uint32_t>(buffer, 4) == kOpcodeInit) {
    const auto flags2 = load<std::uint32_t>(buffer, kInHeaderSize + kInitInFlags2);
    const auto flags = load<std::uint32_t>(buffer, kInHeaderSize + 12);
    offered_ = (flags & kInitExt) && (flags2 & kPassthroughFlag2);
    initUnique_ = load<std::uint64_t>(buffer, 8);
  }
  return got;
}

ssize_t FusePassthrough::writev(int fd, iovec* iov, int count) {
  if (count != 2 || iov[0].iov_len != kOutHeaderSize || load<std::int32_t>(iov[0].iov_base, 4) != 0)
    return ::writev(fd, iov, count);
  const auto unique = load<std::uint64_t>(iov[0].iov_base, 8);
  if (const FuseOpenMode* mode = nextOpenReply; mode && iov[1].iov_len == kOpenOutSize) {
    nextOpenReply = nullptr;
    if (!mode->passthrough) return ::writev(fd, iov, count);
    char reply[kOpenOutSize];
    std::memcpy(reply, iov[1].iov_base, sizeof(reply));
    auto flags = load<std::uint32_t>(reply, kOpenOutFlags);
    flags = (flags & ~kOpenKeepCache) | kOpenPassthrough | (mode->directIo ? kOpenDirectIo : 0);
    store(reply, kOpenOutFlags, flags);
    store(reply, kOpenOutBackingId, mode->backingId);
    iovec patched[2] = {iov[0], {reply, sizeof(reply)}};
    return ::writev(fd, patched, 2);
  }
  if (unique == 0 || unique != initUnique_.load() || iov[1].iov_len < kInitOutMinSize || !wanted_ ||
      !offered_.load())
    return ::writev(fd, iov, count);
  std::vector<char> reply(static_cast<const char*>(iov[1].iov_base),
                          static_cast<const char*>(iov[1].iov_base) + iov[1].iov_len);
  store(reply.data(), kInitOutFlags, load<std::uint32_t>(reply.data(), kInitOutFlags) | kInitExt);
  store(reply.data(), kInitOutFlags2,
        load<std::uint32_t>(reply.data(), kInitOutFlags2) | kPassthroughFlag2);
  store(reply.data(), kInitOutStackDepth, kStackDepth);
  iovec patched[2] = {iov[0], {reply.data(), reply.size()}};
  const ssize_t written = ::writev(fd, patched, 2);
  if (written >= 0) accepted_ = true;
  return written;
}

std::optional<std::int32_t> FusePassthrough::registerBacking(int fd) {
  BackingMap map{fd, 0, 0};
  const int id = ::ioctl(device_, kBackingOpen, &map);
  if (id > 0) return id;
  const int error = errno;
  if (error == EPERM || error == ENOTTY || error == EINVAL) {
    // Not allowed or not known here: every later open uses the page cache.
    if (!refused_.exchange(true))
      logger_.info(std::string("Reads go through the page cache: passthrough is unavailable (") +
                   std::strerror(error) + ")");
  } else {
    logger_.debug(std::string("A file is read through the page cache: ") + std::strerror(error));
  }
  return std::nullopt;
}

void FusePassthrough::closeBacking(std::int32_t id) {
  auto value = static_cast<std::uint32_t>(id);
  (void)::ioctl(device_, kBackingClose, &value);
}

FuseOpenMode FusePassthrough::chooseMode(Inode inode, int contentFd, bool bySession) {
  base::MutexLock lock(mutex_);
  if (auto found = backings_.find(inode); found != backings_.end()) {
    // The inode is in passthrough: this open must name the same backing file. When that file
    // is not what this open reads, the session answers the reads.
    struct stat st {};
    const bool same = !bySession && ::fstat(contentFd, &st) == 0 &&
                      st.st_dev == found->second.device && st.st_ino == found->second.file;
    ++found->second.opens;
    return {true, !same, found->second.id};
  }
  auto cached = cachedOpens_.find(inode);
  if (bySession || !active() || device_ < 0 || cached != cachedOpens_.end()) {
    ++cachedOpens_[inode];
    return {};
  }
  struct stat st {};
  std::optional<std::int32_t> id;
  if (::fstat(contentFd, &st) == 0) id = registerBacking(contentFd);
  if (!id) {
    ++cachedOpens_[inode];
    return {};
  }
  backings_[inode] = Backing{*id, st.st_dev, st.st_ino, 1};
  return {true, false, *id};
}

void FusePassthrough::released(Inode inode, const FuseOpenMode& mode) {
  base::MutexLock lock(mutex_);
  if (mode.passthrough) {
    auto found = backings_.find(inode);
    if (found == backings_.end() || --found->second.opens > 0) return;
    closeBacking(found->second.id);
    backings_.erase(found);
    return;
  }
  auto found = cachedOpens_.find(inode);
  if (found != cachedOpens_.end() && --found->second <= 0) cachedOpens_.erase(found);
}

}  // namespace tarnix::host
