#pragma once
// Which process serves a drive: one process at a time (a mount, or a command while no mount
// runs) holds an exclusive flock on "Drive.lock" in the drive's host state folder, for as long
// as it serves the drive. The kernel lets go of the lock when the holder ends, however it ends
// (SIGKILL included). The file says who holds it, two lines: "pid <pid>" and "mount <path>",
// the path empty when a command holds it.

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tarnix::host {

class DriveLock {
 public:
  struct Holder {
    pid_t pid = 0;
    /// Where the holder has the drive mounted; empty when a command holds the lock.
    std::filesystem::path mountPoint;
    bool isMount() const { return !mountPoint.empty(); }
  };
  /// Why the lock was not taken: another process holds it (`holder`), or the lock file
  /// cannot be used (`message`, a sentence naming the file).
  struct Refusal {
    std::optional<Holder> holder;
    std::string message;
  };

  static std::filesystem::path lockPath(const std::filesystem::path& stateDirectory) {
    return stateDirectory / "Drive.lock";
  }

  /// Takes the lock of the drive whose host state is in `stateDirectory` (made, 0700, when
  /// missing) and records this process and `mountPoint` (empty for a command). A mount that
  /// holds the lock refuses at once; a command that holds it is waited for, at most
  /// `commandWait`.
  static std::expected<std::unique_ptr<DriveLock>, Refusal> acquire(
      const std::filesystem::path& stateDirectory, const std::filesystem::path& mountPoint = {},
      std::chrono::milliseconds commandWait = std::chrono::milliseconds(0));
  /// What the lock file's contents say (whether or not anyone holds the lock now).
  static std::optional<Holder> parse(const std::string& contents);
  /// Who holds the lock, as its file says, when that process is still running; the lock is
  /// not taken (for display: the holder may end at any moment).
  static std::optional<Holder> holder(const std::filesystem::path& stateDirectory);

  /// Releases the lock (the file stays).
  ~DriveLock();
  DriveLock(const DriveLock&) = delete;
  DriveLock& operator=(const DriveLock&) = delete;

 private:
  explicit DriveLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace tarnix::host
