#include "host/commands/ServedDrive.hpp"

#include <thread>

#include "common/ContainerStores.hpp"
#include "common/DriveLookup.hpp"
#include "common/KnownPath.hpp"
#include "host/FuseMount.hpp"

namespace tarnix::host {

std::expected<ResolvedDrive, std::string> resolveDrive(const std::string& labelOrIdentifier) {
  auto root = common::appGroupContainerRoot();
  if (!root) return std::unexpected("no container folder (set TARNIX_HOME or HOME)");
  auto stores = common::ContainerStores::open(root, base::Logger::null());
  if (!stores) return std::unexpected(stores.error().message);
  auto drive = common::findDrive(*stores->driveRepository, labelOrIdentifier);
  if (!drive) return std::unexpected(drive.error().message);
  auto folder = common::KnownPathResolver(root).knownPathURL(
      common::KnownPath{common::KnownPath::Drive{drive->identifier}});
  if (!folder) return std::unexpected("no folder for drive " + drive->identifier);
  return ResolvedDrive{drive->identifier, drive->label, *folder / "Host", stores->group, *drive};
}

std::expected<DriveLease, std::string> leaseDrive(const ResolvedDrive& drive,
                                                  std::chrono::milliseconds commandWait) {
  auto lock = DriveLock::acquire(drive.stateDirectory, {}, commandWait);
  if (lock) return DriveLease{std::move(*lock), std::nullopt};
  if (lock.error().holder) return DriveLease{nullptr, lock.error().holder};
  return std::unexpected(lock.error().message);
}

std::expected<DriveLease, std::string> leaseForChange(const ResolvedDrive& drive,
                                                      std::chrono::milliseconds mountWait) {
  const auto deadline = std::chrono::steady_clock::now() + mountWait;
  auto lease = leaseDrive(drive, kCommandLockWait);
  while (lease && lease->server && lease->server->isMount() &&
         !isFuseMounted(lease->server->mountPoint) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    lease = leaseDrive(drive, kCommandLockWait);
  }
  if (!lease || !lease->server) return lease;
  const auto& server = *lease->server;
  if (!server.isMount()) return std::unexpected(servedElsewhere(drive, server));
  if (!isFuseMounted(server.mountPoint)) {
    return std::unexpected("the drive " + drive.label + " is being mounted at " +
                           server.mountPoint.string() + "; try again once it is mounted");
  }
  return lease;
}

std::string servedElsewhere(const ResolvedDrive& drive, const DriveLock::Holder& server) {
  const std::string process = "(process " + std::to_string(server.pid) + ")";
  if (server.isMount())
    return "the drive " + drive.label + " is mounted at " + server.mountPoint.string() + " " +
           process;
  return "the drive " + drive.label + " is in use by another tarnix command " + process +
         "; try again when it ends";
}

}  // namespace tarnix::host
