#pragma once
// Attaching a FUSE file system to a folder and detaching it, without forking: with the right to
// mount, mount(2) directly; otherwise the setuid helper fusermount3, started with posix_spawn,
// which hands back the opened /dev/fuse descriptor over a socket.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace tarnix::host {

/// Opens /dev/fuse and mounts it at `mountPoint`; returns the descriptor the session reads.
/// The error says why FUSE cannot be used.
std::expected<int, std::string> mountFuse(const std::filesystem::path& mountPoint,
                                          const std::string& fsname);
/// Detaches the file system at `mountPoint` (lazily when it is busy).
std::expected<void, std::string> unmountFuse(const std::filesystem::path& mountPoint);
/// Whether a FUSE file system is mounted at `mountPoint` (read from /proc/self/mountinfo).
bool isFuseMounted(const std::filesystem::path& mountPoint);
/// The device number ("major:minor") of the FUSE file system mounted at `mountPoint`; it names
/// the mount's entry under /sys/class/bdi.
std::optional<std::string> fuseDeviceNumber(const std::filesystem::path& mountPoint);

}  // namespace tarnix::host
