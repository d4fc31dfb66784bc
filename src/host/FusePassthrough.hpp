#pragma once
// Reads of present contents served by the kernel straight from the replica file (FUSE
// passthrough), where the kernel offers it and the process may register backing files (it needs
// CAP_SYS_ADMIN). The reads then never reach this process and run at the speed of the replica's
// own file system; elsewhere every open falls back to the kernel's page cache of the mount.
//
// libfuse 3.14 does not know the feature, so the session's device I/O goes through this class:
// it asks for passthrough in the INIT reply when the kernel offered it, and marks open replies
// with the backing file chosen for them.
//
// The kernel serves an inode either from one backing file or from its page cache, never both at
// once: while any open of an inode is in passthrough, every further open must name the same
// backing file, and while any open is cached, none may be in passthrough. chooseMode() keeps
// that rule; an open that needs the session (a file fetched range by range, or contents newer
// than the backing file still in use) is then a direct-I/O open on the same backing file.
//
// Thread-safe. The device hooks run on libfuse's threads.

#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>

#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "host/ReplicaStore.hpp"

namespace tarnix::host {

/// How one open of a file is served.
struct FuseOpenMode {
  /// The kernel reads `backingId` itself (mmap too, also with `directIo`).
  bool passthrough = false;
  /// Reads come to the session (no page cache).
  bool directIo = false;
  std::int32_t backingId = 0;
};

class FusePassthrough {
 public:
  FusePassthrough(bool wanted, base::Logger logger);
  ~FusePassthrough();
  FusePassthrough(const FusePassthrough&) = delete;
  FusePassthrough& operator=(const FusePassthrough&) = delete;

  /// The session's /dev/fuse descriptor (backing files are registered on it).
  void setDevice(int fd) { device_ = fd; }
  /// Whether the kernel accepted passthrough at INIT and backing files can still be registered.
  bool active() const { return accepted_.load() && !refused_.load(); }

  /// The device hooks of the session (libfuse's custom I/O).
  ssize_t read(int fd, void* buffer, std::size_t size);
  ssize_t writev(int fd, iovec* iov, int count);

  /// Chooses how an open of `inode` is served. `contentFd` is the open replica file; `bySession`
  /// says the session must answer its reads (contents fetched range by range). Every chosen mode
  /// must be handed back with released() (also when the open reply failed).
  FuseOpenMode chooseMode(Inode inode, int contentFd, bool bySession) TARNIX_EXCLUDES(mutex_);
  void released(Inode inode, const FuseOpenMode& mode) TARNIX_EXCLUDES(mutex_);

  /// Makes the next open reply sent by this thread carry `mode`; call around fuse_reply_open.
  static void markNextOpenReply(const FuseOpenMode* mode);

 private:
  struct Backing {
    std::int32_t id = 0;
    dev_t device = 0;
    ino_t file = 0;
    int opens = 0;
  };
  std::optional<std::int32_t> registerBacking(int fd);
  void closeBacking(std::int32_t id);

  const bool wanted_;
  base::Logger logger_;
  int device_ = -1;
  std::atomic<std::uint64_t> initUnique_{0};
  std::atomic<bool> offered_{false};
  std::atomic<bool> accepted_{false};
  std::atomic<bool> refused_{false};

  base::Mutex mutex_;
  std::map<Inode, Backing> backings_ TARNIX_GUARDED_BY(mutex_);
  std::map<Inode, int> cachedOpens_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace tarnix::host
