#include "common/DesktopAppGroup.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "base/BuildInfo.hpp"
#include "base/PrivateFiles.hpp"
#include "base/Uuid.hpp"
#include "common/SentryLogSink.hpp"

namespace tarnix::common {

std::expected<DesktopAppGroupDefinitions, DesktopAppGroupError> DesktopAppGroupDefinitions::make(
    std::optional<std::filesystem::path> containerRoot, base::Logger logger) {
  if (!containerRoot) {
    return std::unexpected(DesktopAppGroupError{
        "No application group container: set TARNIX_HOME, XDG_DATA_HOME or HOME"});
  }
  DesktopAppGroupDefinitions d;
  d.containerURL = *containerRoot;
  d.internalDataURL = d.containerURL / "Tarnix";
  d.deviceIdentifierURL = d.internalDataURL / "DeviceIdentifier";
  d.logsURL = d.internalDataURL / "Logs";
  d.externalLogsURL = d.containerURL / "Logs";
  d.temporaryDirectoryURL = d.containerURL / "tmp";
  d.drivesURL = d.internalDataURL / "Drives";
  auto preferencesFolder = d.containerURL / "Library" / "Preferences";
  std::error_code ec = base::createPrivateDirectories(preferencesFolder);
  if (ec) {
    return std::unexpected(
        DesktopAppGroupError{"Unable to create preferences directory: " + ec.message()});
  }
  d.defaults = platform::UserDefaults::open(preferencesFolder / (d.appGroupIdentifier + ".json"),
                                            logger.child("UserDefaults"));
  return d;
}

std::expected<std::string, DesktopAppGroupError> establishDeviceIdentifier(
    const std::filesystem::path& lockFile, platform::UserDefaults& defaults) {
  int fd = base::openPrivateFile(lockFile, O_RDWR);
  if (fd < 0) return std::unexpected(DesktopAppGroupError{std::strerror(errno)});
  int r;
  do {
    r = ::flock(fd, LOCK_EX);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    DesktopAppGroupError error{std::strerror(errno)};
    ::close(fd);
    return std::unexpected(error);
  }
  std::expected<std::string, DesktopAppGroupError> result;
  auto stored = defaults.value("deviceID");
  if (stored && stored->is_string() && !stored->get<std::string>().empty()) {
    result = stored->get<std::string>();
  } else {
    // Decided on the document the write sees: when the suite was damaged, that is what could
    // be recovered of it, and a recovered identifier is kept rather than replaced.
    std::string identifier;
    auto written = defaults.update([&](base::JSONValue& document) {
      auto recovered = document.find("deviceID");
      if (recovered != document.end() && recovered->is_string() &&
          !recovered->get<std::string>().empty()) {
        identifier = recovered->get<std::string>();
      } else {
        identifier = base::makeUuid();
        document["deviceID"] = identifier;
      }
    });
    if (!written) {
      result = std::unexpected(DesktopAppGroupError{written.error().message});
    } else {
      result = identifier;
    }
  }
  ::close(fd);  // releases the lock
  return result;
}

DesktopAppGroup::DesktopAppGroup(DesktopAppGroupDefinitions definitions,
                                 std::string deviceIdentifier, base::Logger logger)
    : definitions_(std::move(definitions)),
      deviceIdentifier_(std::move(deviceIdentifier)),
      logger_(std::move(logger)),
      knownPaths_(definitions_.containerURL),
      preferences_(std::make_shared<DesktopAppGroupPreferences>(definitions_.defaults,
                                                                logger_.child("Preferences"))) {}

std::expected<std::shared_ptr<DesktopAppGroup>, DesktopAppGroupError> DesktopAppGroup::make(
    DesktopAppGroupDefinitions definitions, base::Logger logger) {
  auto fail = [&](std::string message) {
    logger.critical(message);
    return std::unexpected(DesktopAppGroupError{std::move(message)});
  };
  std::error_code ec = base::createPrivateDirectories(definitions.internalDataURL);
  if (ec) return fail("Unable to create Internal Data directory: " + ec.message());
  ec = base::createPrivateDirectories(definitions.temporaryDirectoryURL);
  if (ec) return fail("Unable to create temporary directory: " + ec.message());
  auto deviceIdentifier =
      establishDeviceIdentifier(definitions.deviceIdentifierURL, *definitions.defaults);
  if (!deviceIdentifier) {
    return fail("Coordinator failure when setting up Device ID: " +
                deviceIdentifier.error().message);
  }
  return std::shared_ptr<DesktopAppGroup>(
      new DesktopAppGroup(std::move(definitions), std::move(*deviceIdentifier), std::move(logger)));
}

base::LoggingConfiguration DesktopAppGroup::makeBasicLoggingConfiguration() const {
  base::LoggingConfiguration configuration;
  if (auto level = preferences_->logLevel()) {
    configuration.defaultLevel = *level;
  } else {
    configuration.defaultLevel =
        base::BuildInfo::targetDeploymentEnvironment() == base::DeploymentEnvironment::release
            ? base::LoggerLevel::info
            : base::LoggerLevel::debug;
  }
  configuration.addSink("console", base::LogSinkInitParams::console());
  configuration.addSink("sentry", base::LogSinkInitParams::custom([](const std::string&) {
                          return std::make_shared<SentryLogSink>();
                        }));
  return configuration;
}

void DesktopAppGroup::bootstrapLogging(
    const std::string& processLogFilename, bool excludeSentry,
    const std::function<void(base::LoggingConfiguration&)>& configurator) const {
  auto configuration = makeBasicLoggingConfiguration();
  configuration.rootFolderURL = definitions_.internalDataURL / "Logs";
  configuration.addSink("process-wide-file",
                        base::LogSinkInitParams::rollingFile(processLogFilename));
  std::vector<std::string> sinks{"process-wide-file"};
  if (!excludeSentry) sinks.push_back("sentry");
  configuration.addLogger("", std::move(sinks));
  if (configurator) configurator(configuration);
  base::LoggingSystem::bootstrap(configuration);
}

}  // namespace tarnix::common
