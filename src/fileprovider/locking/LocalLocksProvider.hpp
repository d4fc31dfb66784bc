#pragma once
// The locks this machine holds on every drive, for whoever shows them all (the desktop side):
// on reload ("[LOCKING] Reloading locks...") it reads LocalLocks of each drive's database that
// exists and publishes each lock with its cloud path (from the drive's root) and, where the
// drive is mounted, its local path.
//
// Threads: reload() runs on the queue "com.tarnix.Locking"; subscribers are called there.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/Drive.hpp"
#include "common/DriveRepository.hpp"
#include "common/ItemLocks.hpp"

namespace tarnix::fileprovider {

struct LocalLocksEntry {
  common::Drive drive;
  common::LocalLock lock;
  std::string cloudPath;
  std::optional<std::filesystem::path> localPath;
};

class LocalLocksProvider : public std::enable_shared_from_this<LocalLocksProvider> {
 public:
  using Observer = std::function<void(const std::vector<LocalLocksEntry>&)>;
  /// Where a drive's files appear locally (its mount point); none when it is not mounted.
  using LocalRoot = std::function<std::optional<std::filesystem::path>(const common::Drive&)>;

  LocalLocksProvider(std::shared_ptr<common::DriveRepository> driveRepository,
                     std::shared_ptr<common::DesktopAppGroup> appGroup, LocalRoot localRoot,
                     base::Logger logger);

  void setObserver(Observer observer);
  /// Reads every drive's locks again and publishes them; `done` gets what was published.
  void reload(std::function<void(const std::vector<LocalLocksEntry>&)> done = {});

 private:
  std::vector<LocalLocksEntry> read() const;

  std::shared_ptr<common::DriveRepository> driveRepository_;
  std::shared_ptr<common::DesktopAppGroup> appGroup_;
  LocalRoot localRoot_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> reloadQueue_;
  std::mutex mutex_;
  Observer observer_;  // guarded by mutex_
};

}  // namespace tarnix::fileprovider
