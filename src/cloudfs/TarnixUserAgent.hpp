#pragma once
// How the client identifies itself in every request: the "User-Agent" line, the device id, the
// sync client revision and the action source.

#include <string>
#include <string_view>

namespace tarnix::cloudfs {

/// What the user-agent line says about the machine.
struct UserAgentSystemInfo {
  /// "en_US".
  std::string localeIdentifier;
  /// Kernel version as "major.minor.patch".
  std::string osVersion;
  /// "x86_64", "aarch64".
  std::string architecture;

  /// From the locale environment (LC_ALL, LC_MESSAGES, LANG) and uname(2).
  static UserAgentSystemInfo current();
  /// "de_CH.UTF-8@euro" -> "de_CH"; "", "C" and "POSIX" -> "en_US".
  static std::string localeIdentifierFrom(std::string_view localeEnvironmentValue);
  /// The leading "major.minor.patch" of a kernel release ("6.1.0-13-amd64" -> "6.1.0"); missing
  /// parts are 0.
  static std::string osVersionFrom(std::string_view kernelRelease);
};

class TarnixUserAgent {
 public:
  static constexpr std::string_view kSyncClientRevision = "TXC/167236";
  static constexpr std::string_view kActionSource = "TXD";

  /// `applicationVersion` is the semantic version of the application ("1.2.3", build metadata is
  /// dropped); `applicationBuildVersion` is the build version whose first build identifier
  /// ("1.2.3+4567" -> "4567") goes into the line, "1" when it has none.
  TarnixUserAgent(std::string deviceID, std::string_view applicationVersion,
                  std::string_view applicationBuildVersion,
                  const UserAgentSystemInfo& systemInfo = UserAgentSystemInfo::current());

  const std::string& deviceID() const { return deviceID_; }
  std::string_view syncClientRevision() const { return kSyncClientRevision; }
  /// "Tarnix/1.2.3 (TXD; 4567; en_US; Linux; 6.1.0; x86_64)".
  const std::string& vanillaHeaderValue() const { return vanillaHeaderValue_; }
  std::string_view actionSource() const { return kActionSource; }

 private:
  std::string deviceID_;
  std::string vanillaHeaderValue_;
};

}  // namespace tarnix::cloudfs
