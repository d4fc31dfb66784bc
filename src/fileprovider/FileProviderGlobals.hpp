#pragma once
// What every domain of the extension process shares, made once before the first domain is
// served: the shared container, the process logger, the main database with the account,
// configuration and drive stores over it, and the relaunch observer.
//
// Made in this order: container, logger (and the start-up line), open-file limit, main
// database, credentials, cloud configurations, drive repository, relaunch (observing at once).
// The sync-service client, event broker, memory-pressure monitor, backend devices and the
// orphaned-files clean-up join here with their services, in that order.
//
// Immutable after make(); any thread.

#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "base/Clock.hpp"
#include "base/JSONValue.hpp"
#include "base/Logger.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/Drive.hpp"
#include "common/DriveRepository.hpp"
#include "common/FeatureList.hpp"
#include "fileprovider/Relaunch.hpp"
#include "fileprovider/events/EventBroker.hpp"
#include "platform/DistributedNotificationCenter.hpp"
#include "platform/fileprovider/Domain.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// The version the start-up lines name.
inline constexpr const char* kExtensionShortVersion = "0.1.0";
inline constexpr const char* kExtensionBuildVersion = "1";

/// Why a domain (or the process) could not start.
struct ProviderStartError {
  std::string message;
  /// The drive database could not be brought up to date (for example it was written by a
  /// newer build): restarting, after an upgrade, is what helps.
  bool isMigrationError = false;
};

/// One run of the process: logged with the start-up line (metadata "appLifecycleID") and sent
/// with every cloud request ("X-Tarnix-Application-Lifecycle-Trace"), so that the cloud's
/// records of a run can be matched with its log.
struct AppLifecycleID {
  std::string rawValue;
  /// A new random identifier.
  static AppLifecycleID make();
  bool operator==(const AppLifecycleID&) const = default;
};

struct FileProviderGlobalsConfiguration {
  /// The shared container's root; none: no container (the start fails).
  std::optional<std::filesystem::path> containerRoot;
  std::shared_ptr<common::FeatureList> featureList;
  /// Carries notifications between the product's processes; when null, the user's session bus
  /// with `useSessionBus` (in-process when there is none), else an in-process center.
  std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter;
  bool useSessionBus = false;
  /// How Relaunch ends the process.
  ProcessExit exit;
  base::Logger logger = base::Logger("FileProvider");
  /// What the drives' services measure time by (skips, listing freshness, debouncing); null:
  /// the system's.
  std::shared_ptr<base::Clock> clock;
  /// Whether this process carries out the drives' deferred work (delayed deletions, the
  /// cleanup of orphaned files). Only the process that serves a drive may: one that merely
  /// reads a drive while another process serves it turns this off, so that two processes never
  /// work through the same deletions.
  bool deferredWork = true;
  /// Whether the drives served by this process follow the cloud's change feed (it needs
  /// `deferredWork` too). A command that serves a drive for a moment turns it off.
  bool followCloudChanges = true;
};

class FileProviderGlobals {
 public:
  /// Logs "Initializing File Provider process done", or "Initializing File Provider process
  /// failed" with the reason.
  static std::expected<std::shared_ptr<FileProviderGlobals>, ProviderStartError> make(
      FileProviderGlobalsConfiguration configuration);
  /// The process's globals, made on first call from the environment's container with the
  /// process's feature list and std::exit; null when they could not be made.
  static std::shared_ptr<FileProviderGlobals> shared();
  ~FileProviderGlobals();

  const std::shared_ptr<common::DesktopAppGroup>& appGroup() const { return appGroup_; }
  const std::shared_ptr<common::DriveRepository>& driveRepository() const {
    return driveRepository_;
  }
  const std::shared_ptr<Relaunch>& relaunch() const { return relaunch_; }
  const base::Logger& logger() const { return logger_; }
  bool deferredWork() const { return deferredWork_; }
  bool followCloudChanges() const { return followCloudChanges_; }
  /// The bus of events between the product's processes (started; stopped with the globals).
  const std::shared_ptr<EventBroker>& eventBroker() const { return eventBroker_; }
  /// Never null.
  const std::shared_ptr<base::Clock>& clock() const { return clock_; }
  /// This run's identifier, as the start-up line logged it.
  const AppLifecycleID& appLifecycleID() const { return appLifecycleID_; }
  const std::shared_ptr<common::FeatureList>& featureList() const { return featureList_; }
  /// The center the drive repository posts its changes on (this process only).
  const std::shared_ptr<platform::DistributedNotificationCenter>& notificationCenter() const {
    return notificationCenter_;
  }
  const std::shared_ptr<platform::DistributedNotificationCenter>& distributedNotificationCenter()
      const {
    return distributedNotificationCenter_;
  }

  /// The drive the domain stands for. A domain identifier that is no drive identifier logs
  /// "Received NSFileProviderDomainDefaultIdentifier from system" (warning) for the default
  /// domain, else "Unknown NSFileProviderDomain identifier" (error), and fails.
  std::expected<common::Drive, ProviderStartError> drive(const fp::DomainIdentifier& domain) const;

 private:
  FileProviderGlobals() = default;

  std::shared_ptr<common::DesktopAppGroup> appGroup_;
  std::shared_ptr<common::DriveRepository> driveRepository_;
  // offlineSyncClient joins here.
  std::shared_ptr<Relaunch> relaunch_;
  std::shared_ptr<EventBroker> eventBroker_;
  base::Logger logger_ = base::Logger::null();
  std::shared_ptr<base::Clock> clock_;
  bool deferredWork_ = true;
  bool followCloudChanges_ = true;
  AppLifecycleID appLifecycleID_;
  // memoryPressureMonitor, backendDeviceRepository and orphanedFilesCleanupTask join here.
  std::shared_ptr<common::FeatureList> featureList_;
  std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter_;
  std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter_;
  std::shared_ptr<void> featureOverridesObservation_;
};

/// {"deploymentEnvironment": "dev" | "qa" | "staging" | "release"} for this build.
base::JSONValue deploymentUserInfo();

}  // namespace tarnix::fileprovider
