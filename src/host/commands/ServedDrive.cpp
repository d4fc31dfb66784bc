#include "host/commands/ServedDrive.hpp"

#include "common/ContainerStores.hpp"
#include "common/DriveLookup.hpp"
#include "common/KnownPath.hpp"

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

std::string servedElsewhere(const ResolvedDrive& drive, const DriveLock::Holder& server) {
  const std::string process = "(process " + std::to_string(server.pid) + ")";
  if (server.isMount())
    return "the drive " + drive.label + " is mounted at " + server.mountPoint.string() + " " +
           process;
  return "the drive " + drive.label + " is in use by another tarnix command " + process +
         "; try again when it ends";
}

}  // namespace tarnix::host
