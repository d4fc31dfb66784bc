#include "fileprovider/locking/LocalLocksProvider.hpp"

#include "common/DriveDatabase.hpp"
#include "common/KnownPath.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/locking/LocalLockStorage.hpp"

namespace tarnix::fileprovider {

LocalLocksProvider::LocalLocksProvider(std::shared_ptr<common::DriveRepository> driveRepository,
                                       std::shared_ptr<common::DesktopAppGroup> appGroup,
                                       LocalRoot localRoot, base::Logger logger)
    : driveRepository_(std::move(driveRepository)),
      appGroup_(std::move(appGroup)),
      localRoot_(std::move(localRoot)),
      logger_(std::move(logger)),
      reloadQueue_(base::DispatchQueue::make("com.tarnix.Locking")) {}

void LocalLocksProvider::setObserver(Observer observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void LocalLocksProvider::reload(std::function<void(const std::vector<LocalLocksEntry>&)> done) {
  reloadQueue_->async([self = shared_from_this(), done = std::move(done)] {
    self->logger_.info("[LOCKING] Reloading locks...");
    const auto entries = self->read();
    Observer observer;
    {
      std::lock_guard lock(self->mutex_);
      observer = self->observer_;
    }
    if (observer) observer(entries);
    if (done) done(entries);
  });
}

std::vector<LocalLocksEntry> LocalLocksProvider::read() const {
  std::vector<LocalLocksEntry> entries;
  auto drives = driveRepository_->allFpDrives();
  if (!drives) {
    logger_.error("Reading local locks failed", {{"error", drives.error().message}});
    return entries;
  }
  for (const auto& drive : *drives) {
    auto directory =
        appGroup_->knownPaths().knownPathURL(common::KnownPath::drive(drive.identifier));
    // A drive never started has no database; opening would make one.
    if (!directory || !std::filesystem::exists(*directory / "Metadata.db")) continue;
    auto database = common::DriveDatabase::open(*directory, drive.identifier);
    if (!database) {
      logger_.error("Reading local locks failed",
                    {{"driveID", drive.identifier}, {"error", database.error().description()}});
      continue;
    }
    auto storage =
        common::SyncItemStorage::make((*database)->dbQueue(), drive.cloudStartPath, nullptr);
    if (!storage) continue;
    LocalLockStorage locks((*database)->dbQueue(), logger_);
    auto all = locks.locks();
    if (!all) continue;
    const auto root = localRoot_ ? localRoot_(drive) : std::nullopt;
    for (auto& lock : *all) {
      auto path = (*storage)->queryCloudPath(common::SyncItemIdentifier(lock.fileIdentifier));
      if (!path) continue;
      LocalLocksEntry entry{drive, std::move(lock), *path, std::nullopt};
      if (root) entry.localPath = *root / std::filesystem::path(*path).relative_path();
      entries.push_back(std::move(entry));
    }
  }
  return entries;
}

}  // namespace tarnix::fileprovider
