#pragma once
// The application-group container shared by every process of the product, its preferences
// suite and the device identifier. One DesktopAppGroup per process.

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Logger.hpp"
#include "base/LoggingConfiguration.hpp"
#include "common/DesktopAppGroupPreferences.hpp"
#include "common/KnownPath.hpp"
#include "platform/UserDefaults.hpp"

namespace tarnix::common {

struct DesktopAppGroupError {
  /// The text logged, e.g. "Unable to create Internal Data directory: <error>".
  std::string message;
};

/// Where the pieces of the container are, and its preferences suite.
struct DesktopAppGroupDefinitions {
  std::string appGroupIdentifier = kAppGroupIdentifier;
  std::filesystem::path containerURL;
  std::filesystem::path internalDataURL;        // container/Tarnix
  std::filesystem::path deviceIdentifierURL;    // container/Tarnix/DeviceIdentifier
  std::filesystem::path logsURL;                // container/Tarnix/Logs
  std::filesystem::path externalLogsURL;        // container/Logs
  std::filesystem::path temporaryDirectoryURL;  // container/tmp
  std::filesystem::path drivesURL;              // container/Tarnix/Drives
  std::shared_ptr<platform::UserDefaults> defaults;

  /// The definitions of the container at `containerRoot` (none: no container, an error). The
  /// suite is the file "Library/Preferences/<group>.json" of the container; it does not read
  /// anything yet.
  static std::expected<DesktopAppGroupDefinitions, DesktopAppGroupError> make(
      std::optional<std::filesystem::path> containerRoot, base::Logger logger);
};

class DesktopAppGroup {
 public:
  /// Creates the internal data and temporary directories and establishes the device
  /// identifier. Each failure is logged with its text and returned: the caller must not start
  /// services that need the container.
  static std::expected<std::shared_ptr<DesktopAppGroup>, DesktopAppGroupError> make(
      DesktopAppGroupDefinitions definitions, base::Logger logger);

  const std::string& appGroupIdentifier() const { return definitions_.appGroupIdentifier; }
  const std::string& deviceIdentifier() const { return deviceIdentifier_; }
  const std::shared_ptr<platform::UserDefaults>& defaults() const { return definitions_.defaults; }
  const std::filesystem::path& containerURL() const { return definitions_.containerURL; }
  const std::filesystem::path& internalDataURL() const { return definitions_.internalDataURL; }
  const std::filesystem::path& externalLogsURL() const { return definitions_.externalLogsURL; }
  const std::filesystem::path& temporaryDirectoryURL() const {
    return definitions_.temporaryDirectoryURL;
  }
  const std::filesystem::path& deviceIdentifierURL() const {
    return definitions_.deviceIdentifierURL;
  }
  const std::shared_ptr<DesktopAppGroupPreferences>& preferences() const { return preferences_; }
  const KnownPathResolver& knownPaths() const { return knownPaths_; }

  std::filesystem::path drivesFolderURL() const { return definitions_.internalDataURL / "Drives"; }
  std::filesystem::path offlineCacheRootURL() const {
    return definitions_.internalDataURL / "OfflineCache";
  }
  std::filesystem::path unsyncedContentURL(const std::string& driveIdentifier) const {
    return definitions_.internalDataURL / "UnsyncedContent" / driveIdentifier;
  }

  /// Sinks "console" and "sentry" (a SentryLogSink at `error`); the default level is the
  /// stored "logLevel" when it is 1...6, else `info` for release builds and `debug` otherwise.
  base::LoggingConfiguration makeBasicLoggingConfiguration() const;
  /// Bootstraps the process's logging: the basic configuration, files under
  /// internal data/"Logs", sink "process-wide-file" writing `processLogFilename`, and the root
  /// logger writing to "process-wide-file" and "sentry" (left out with `excludeSentry`);
  /// `configurator` may change the configuration last.
  void bootstrapLogging(const std::string& processLogFilename, bool excludeSentry,
                        const std::function<void(base::LoggingConfiguration&)>& configurator) const;

 private:
  DesktopAppGroup(DesktopAppGroupDefinitions definitions, std::string deviceIdentifier,
                  base::Logger logger);

  DesktopAppGroupDefinitions definitions_;
  std::string deviceIdentifier_;
  base::Logger logger_;
  KnownPathResolver knownPaths_;
  std::shared_ptr<DesktopAppGroupPreferences> preferences_;
};

/// Reads "deviceID" from `defaults` under an exclusive lock of `lockFile`, storing a new UUID
/// when there is none, so that processes starting together agree on one identifier.
std::expected<std::string, DesktopAppGroupError> establishDeviceIdentifier(
    const std::filesystem::path& lockFile, platform::UserDefaults& defaults);

}  // namespace tarnix::common
