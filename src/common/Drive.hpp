#pragma once
// A connected drive: one cloud account mounted from a cloud start path.

#include <cstdint>
#include <optional>
#include <string>

#include "common/AccountAuthentication.hpp"

namespace tarnix::common {

/// Identifiers are lower-case UUID text.
using DriveIdentifier = std::string;
using AccountIdentifier = std::string;

namespace DriveType {
inline constexpr const char* fileProvider = "FileProvider";
inline constexpr const char* nearbox = "Nearbox";
}  // namespace DriveType

struct Drive {
  DriveIdentifier identifier;
  AccountIdentifier accountIdentifier;
  std::string domain;  // the cloud host
  std::optional<std::string> brandedDomain;
  std::string loginDomain;  // the branded domain when the login uses it, else `domain`
  std::string userName;
  std::optional<AccountAuthentication> authentication;
  /// As stored in the main database; bound back verbatim so that comparisons are exact.
  std::string authenticationTimestamp;
  std::string cloudStartPath;
  std::string workgroupIdentifier;
  std::int64_t userIdentifier = 0;
  std::string userType = "power";
  std::optional<std::string> userFirstName;
  std::optional<std::string> userLastName;
  bool requiresReauthentication = false;
  std::string driveType = DriveType::fileProvider;
  std::optional<std::string> mountPoint;
  std::string label;
  std::optional<std::string> fpdBackingStoreIdentity;  // bytes
  std::optional<std::string> backendIdentifier;
  bool isBackendEnforced = false;
  bool shouldBeConnected = false;
  bool isConnected = false;
  std::optional<std::string> cacheVolumeUUID;
  std::optional<std::string> cacheVolumeName;
  std::optional<std::string> cacheVolumePath;
};

}  // namespace tarnix::common
