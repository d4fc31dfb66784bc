#pragma once
// The value records of locking: lock lifetimes, open files as the desktop application and
// this drive see them, renewal reasons.

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "base/Date.hpp"
#include "common/ItemLocks.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

/// An automatic lock lasts 5 minutes; a manual one 7 days unless "manualLockDuration" says
/// otherwise.
inline constexpr std::chrono::seconds kAutomaticLockTimeout{300};
inline constexpr std::chrono::seconds kDefaultManualLockTimeout{604800};
/// The shared preference with the duration of manual locks (seconds, floating point).
inline constexpr const char* kManualLockDurationKey = "manualLockDuration";

/// The lock timeout of `source`. For manual locks `manualLockDuration` (seconds) when it is
/// a positive finite number; absent, zero, negative or not finite gives the 7-day default.
std::chrono::seconds lockTimeout(common::LocalLockSource source,
                                 std::optional<double> manualLockDuration);

/// A lock taken (or renewed) at `now` for `timeout`: it expires at now + timeout and is
/// renewed from half its life on, so that a renewal made by a pass that runs late still
/// reaches the cloud before the lock lapses.
common::LocalLock makeLocalLock(common::SyncFileIdentifier file, common::LocalLockSource source,
                                std::optional<std::string> token, base::Date now,
                                std::chrono::seconds timeout,
                                std::vector<common::LockingApplicationData> applications);

enum class LockRenewalReason { automatic, afterMove, afterEdit };
std::string_view description(LockRenewalReason reason);

/// A file of this drive held open by a process.
struct OpenFile {
  common::SyncFileIdentifier itemIdentifier;
  std::optional<std::int64_t> pid;
  std::optional<std::string> appName;
  base::Date timestamp;
  std::optional<std::string> appVersion;
  std::optional<std::string> path;
  bool operator==(const OpenFile&) const = default;
};

/// An open file as the lister reports it: {"pid", "processName", "filePath"}.
struct LockingLSOFOpenFile {
  std::optional<std::int64_t> pid;
  std::optional<std::string> processName;
  std::string filePath;
  bool operator==(const LockingLSOFOpenFile&) const = default;
};

/// The JSON list of the lister's answer; an element without "filePath" is dropped, anything
/// that is not a list of objects is an error.
std::expected<std::vector<LockingLSOFOpenFile>, std::string> decodeOpenFiles(
    const std::string& json);

/// An upload that keeps (or wants) its file locked.
struct OngoingUpload {
  common::SyncFileIdentifier itemIdentifier;
  std::int64_t fileSize = 0;
  std::string cloudPath;
  bool operator==(const OngoingUpload&) const = default;
};

}  // namespace tarnix::fileprovider
