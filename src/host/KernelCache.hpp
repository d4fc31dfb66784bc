#pragma once
// What the host tells the kernel when items change underneath it: forget an inode's attributes
// and cached pages, or forget a name in a folder. Implementations must be safe to call from any
// thread, including from inside a file-system request (they defer the work).

#include <string>

#include "host/ReplicaStore.hpp"

namespace tarnix::host {

class KernelCache {
 public:
  virtual ~KernelCache() = default;
  virtual void invalidateInode(Inode inode) = 0;
  virtual void invalidateEntry(Inode parent, const std::string& name) = 0;
  /// Waits (boundedly) until what was asked has reached the kernel. Never call it from inside
  /// a file-system request.
  virtual void flush() {}
};

/// For hosts without a kernel (status, tests of the store).
class NullKernelCache final : public KernelCache {
 public:
  void invalidateInode(Inode) override {}
  void invalidateEntry(Inode, const std::string&) override {}
};

}  // namespace tarnix::host
