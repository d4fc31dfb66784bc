#include "fileprovider/locking/LockingTypes.hpp"

#include <cmath>

#include "base/JSONValue.hpp"

namespace tarnix::fileprovider {

std::chrono::seconds lockTimeout(common::LocalLockSource source,
                                 std::optional<double> manualLockDuration) {
  if (!source.isManual()) return kAutomaticLockTimeout;
  if (!manualLockDuration || !std::isfinite(*manualLockDuration) || *manualLockDuration <= 0) {
    return kDefaultManualLockTimeout;
  }
  // Whole seconds, as sent; at least one, and no more than a year.
  const double clamped = std::min(std::max(*manualLockDuration, 1.0), 365.0 * 24 * 3600);
  return std::chrono::seconds(static_cast<std::int64_t>(clamped));
}

common::LocalLock makeLocalLock(common::SyncFileIdentifier file, common::LocalLockSource source,
                                std::optional<std::string> token, base::Date now,
                                std::chrono::seconds timeout,
                                std::vector<common::LockingApplicationData> applications) {
  common::LocalLock lock;
  lock.fileIdentifier = std::move(file);
  lock.source = source;
  lock.token = std::move(token);
  lock.creationDate = now;
  lock.expirationDate = now + timeout;
  lock.needsRelockBefore = now + timeout / 2;
  lock.lockingApplications = std::move(applications);
  return lock;
}

std::string_view description(LockRenewalReason reason) {
  switch (reason) {
    case LockRenewalReason::automatic:
      return "automatic";
    case LockRenewalReason::afterMove:
      return "afterMove";
    case LockRenewalReason::afterEdit:
      return "afterEdit";
  }
  return "automatic";
}

std::expected<std::vector<LockingLSOFOpenFile>, std::string> decodeOpenFiles(
    const std::string& json) {
  auto parsed = base::parseJSON(json);
  if (!parsed) return std::unexpected("open files: " + parsed.error().message);
  if (!parsed->is_array()) return std::unexpected(std::string("open files: not a list"));
  std::vector<LockingLSOFOpenFile> files;
  for (const auto& entry : *parsed) {
    if (!entry.is_object()) return std::unexpected(std::string("open files: not an object"));
    auto path = entry.find("filePath");
    if (path == entry.end() || !path->is_string()) continue;
    LockingLSOFOpenFile file;
    file.filePath = path->get<std::string>();
    if (auto pid = entry.find("pid"); pid != entry.end() && pid->is_number_integer()) {
      file.pid = pid->get<std::int64_t>();
    }
    if (auto name = entry.find("processName"); name != entry.end() && name->is_string()) {
      file.processName = name->get<std::string>();
    }
    files.push_back(std::move(file));
  }
  return files;
}

}  // namespace tarnix::fileprovider
