#pragma once
// Lock records items carry: the cloud's lock holder and the lock this machine took.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Date.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::common {

/// Who holds the cloud lock of a file (stored in RemoteLocks).
struct CloudLockInfo {
  /// The identifier of a holder not known yet (a folder listing says only that a file is
  /// locked), and of a user whose identifier is not known.
  static constexpr std::int64_t kUnknownUser = 0;

  std::int64_t identifier = kUnknownUser;
  std::string firstName;
  std::string lastName;
  std::optional<std::string> email;
  std::optional<std::string> collaborationToken;

  bool isHolderKnown() const { return identifier != kUnknownUser; }
  /// Whether `userIdentifier` holds the lock. An unknown holder is nobody's, and a user not
  /// known holds nothing.
  bool isHeldBy(std::int64_t userIdentifier) const {
    return isHolderKnown() && identifier == userIdentifier;
  }
  bool operator==(const CloudLockInfo&) const = default;
};

/// Why a lock was taken: bit 0 clear = automatic (a local application holds the file open),
/// set = manual (the user asked).
struct LocalLockSource {
  std::int64_t rawValue = 0;
  static LocalLockSource automatic() { return {0}; }
  static LocalLockSource manual() { return {1}; }
  bool isManual() const { return (rawValue & 1) != 0; }
  /// "automatic" / "manual".
  std::string_view description() const { return isManual() ? "manual" : "automatic"; }
  bool operator==(const LocalLockSource&) const = default;
};

/// An application that had the file open.
struct LockingApplicationData {
  std::string name;
  std::string version;
  bool operator==(const LockingApplicationData&) const = default;
};

/// A lock taken from this machine (stored in LocalLocks).
struct LocalLock {
  SyncFileIdentifier fileIdentifier;
  LocalLockSource source;
  std::optional<std::string> token;
  base::Date creationDate;
  base::Date expirationDate;
  base::Date needsRelockBefore;
  std::vector<LockingApplicationData> lockingApplications;
  bool operator==(const LocalLock&) const = default;
};

/// Who holds a cloud lock, as a refused lock request names them.
struct CloudLockOwner {
  std::int64_t identifier = CloudLockInfo::kUnknownUser;
  std::string firstName;
  std::string lastName;
  std::optional<std::string> email;
  bool operator==(const CloudLockOwner&) const = default;
};

/// `text` fit to be one element of a "|"-joined list sent in a header: "|" and control
/// characters (CR, LF, tab, DEL, ...) become one space; trailing spaces are dropped.
std::string sanitizedApplicationField(std::string_view text);

/// Names and versions joined with "|" in the same order, as stored and sent; each name and
/// version is sanitised first, so that the lists split back into the same applications.
std::string joinedApplicationNames(const std::vector<LockingApplicationData>& applications);
std::string joinedApplicationVersions(const std::vector<LockingApplicationData>& applications);
/// The inverse of the two joins; missing versions become "".
std::vector<LockingApplicationData> splitApplications(std::string_view names,
                                                      std::string_view versions);

}  // namespace tarnix::common
