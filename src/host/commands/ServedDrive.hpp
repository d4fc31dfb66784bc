#pragma once
// A drive as the commands name it, and which process serves it. One process serves a drive at
// a time (see DriveLock): a mount, or a command while no mount runs. A command that changes a
// drive serves it itself when nothing else does, or goes through the mount that serves it; a
// command that reads a drive works alongside whoever serves it, leaving the drive's deferred
// work to them.

#include <chrono>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "common/DesktopAppGroup.hpp"
#include "common/Drive.hpp"
#include "host/DriveLock.hpp"

namespace tarnix::host {

/// The drive a user names by label or identifier, and the folder of the host's state for it
/// (inside the drive's folder, so that removing the drive removes its replica too).
struct ResolvedDrive {
  std::string identifier;
  std::string label;
  std::filesystem::path stateDirectory;
  std::shared_ptr<common::DesktopAppGroup> group;
  common::Drive drive;
};

/// Fails with a sentence for the user.
std::expected<ResolvedDrive, std::string> resolveDrive(const std::string& labelOrIdentifier);

/// How long a command that changes a drive, or a mount, waits for another command serving
/// the drive to end.
inline constexpr std::chrono::seconds kCommandLockWait{30};

/// What a command found when it came to serve a drive: the drive's lock (this process serves
/// it), or who else serves it.
struct DriveLease {
  std::unique_ptr<DriveLock> lock;
  std::optional<DriveLock::Holder> server;
};

/// Takes the drive's lock for a command, waiting at most `commandWait` for another command;
/// a mount is not waited for. Fails with a sentence for the user when the lock file cannot
/// be used or nobody says who holds it.
std::expected<DriveLease, std::string> leaseDrive(const ResolvedDrive& drive,
                                                  std::chrono::milliseconds commandWait);

/// For a command that changes the drive: the drive's lock (the command serves it), or the mount
/// that serves it, once mounted. A mount holds the lock from before its mount point is mounted
/// until after it is unmounted: one that is not mounted is waited for, at most `mountWait`, to
/// be mounted or to end. Fails with a sentence for the user when another command serves the
/// drive or the mount is still not mounted.
std::expected<DriveLease, std::string> leaseForChange(const ResolvedDrive& drive,
                                                      std::chrono::milliseconds mountWait);

/// "the drive <label> is mounted at <path> (process <pid>)", or for a command "the drive
/// <label> is in use by another tarnix command (process <pid>); try again when it ends".
std::string servedElsewhere(const ResolvedDrive& drive, const DriveLock::Holder& server);

}  // namespace tarnix::host
