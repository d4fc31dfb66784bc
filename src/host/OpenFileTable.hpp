#pragma once
// Who holds which file of the mount open: the process behind each open request (from the
// request's context), its name (from /proc) and whether it may write, until the kernel releases
// the handle. It answers the locking service's question "which files are open" where a desktop
// application would list open files elsewhere.
//
// What counts as an application holding a file: a handle open for writing, or one held open for
// at least `minimumHold` (indexers, thumbnailers and backup tools open a file for a moment and
// let it go). The locking service's blocklist then leaves out known background tools by name.
//
// Thread-safe.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/Mutex.hpp"

namespace tarnix::host {

struct OpenFileHolder {
  std::uint64_t inode = 0;
  pid_t pid = 0;
  /// The process's name as /proc gives it when the holders are asked for, with anything but
  /// printable ASCII replaced by "_"; none when the process is gone by then.
  std::optional<std::string> processName;
  bool forWriting = false;
  std::chrono::steady_clock::time_point openedAt;
};

class OpenFileTable {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kDefaultMinimumHold{5};

  explicit OpenFileTable(std::chrono::milliseconds minimumHold = kDefaultMinimumHold)
      : minimumHold_(minimumHold) {}

  /// A handle of `inode` opened by the thread `pid` (in the mount's pid namespace); the token
  /// ends it in `released`.
  std::uint64_t opened(std::uint64_t inode, pid_t pid, bool forWriting,
                       Clock::time_point now = Clock::now()) TARNIX_EXCLUDES(mutex_);
  void released(std::uint64_t token) TARNIX_EXCLUDES(mutex_);
  /// Told (on the opening or releasing thread, outside the table's lock) whenever a handle
  /// open for writing comes or goes: such a handle counts at once, so whoever locks files need
  /// not wait for its next look. Must not block.
  void setWritersChanged(std::function<void()> listener) TARNIX_EXCLUDES(mutex_);
  /// The handles that count as an application holding the file at `now` (see above), one per
  /// file and process.
  std::vector<OpenFileHolder> holders(Clock::time_point now = Clock::now()) const
      TARNIX_EXCLUDES(mutex_);

  /// The name of the process `pid` belongs to (its thread group leader's), sanitised; none
  /// when /proc does not know it.
  static std::optional<std::string> processName(pid_t pid);

 private:
  std::vector<OpenFileHolder> countingHolders(Clock::time_point now) const TARNIX_EXCLUDES(mutex_);

  const std::chrono::milliseconds minimumHold_;
  mutable base::Mutex mutex_;
  std::uint64_t nextToken_ TARNIX_GUARDED_BY(mutex_) = 1;
  std::map<std::uint64_t, OpenFileHolder> open_ TARNIX_GUARDED_BY(mutex_);
  std::function<void()> writersChanged_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace tarnix::host
