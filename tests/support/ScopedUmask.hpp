#pragma once
// Sets the process's umask for the life of the object (it is process-wide: only for tests
// that start no threads of their own meanwhile, or whose threads create files on purpose).

#include <sys/stat.h>

namespace tarnix::testing {

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

}  // namespace tarnix::testing
