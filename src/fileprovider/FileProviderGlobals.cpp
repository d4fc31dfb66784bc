#include "fileprovider/FileProviderGlobals.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <utility>

#include "base/BuildInfo.hpp"
#include "base/Uuid.hpp"
#include "common/ContainerStores.hpp"
#include "common/KnownPath.hpp"
#include "fileprovider/sync/OrphanedFilesCleanup.hpp"

namespace tarnix::fileprovider {

namespace {

// Written events between two deletions of old ones.
constexpr std::int64_t kEventStorageCleanerThreshold = 100;

std::string executablePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("unknown") : path.string();
}

bool raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur == limit.rlim_max) return true;
  limit.rlim_cur = limit.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace

AppLifecycleID AppLifecycleID::make() {
  return AppLifecycleID{base::makeUuid()};
}

std::expected<std::shared_ptr<FileProviderGlobals>, ProviderStartError> FileProviderGlobals::make(
    FileProviderGlobalsConfiguration configuration) {
  auto globals = std::shared_ptr<FileProviderGlobals>(new FileProviderGlobals());
  auto& logger = configuration.logger;
  auto fail = [&](std::string reason) {
    logger.error("Initializing File Provider process failed", {{"error", reason}});
    return std::unexpected(ProviderStartError{std::move(reason)});
  };

  globals->notificationCenter_ = std::make_shared<platform::InProcessNotificationCenter>();
  auto stores = common::ContainerStores::open(configuration.containerRoot, logger,
                                              globals->notificationCenter_);
  if (!stores) return fail(stores.error().message);
  globals->appGroup_ = std::move(stores->group);

  globals->logger_ = logger.child("FileProviderGlobals");
  globals->clock_ = configuration.clock ? configuration.clock : base::Clock::system();
  globals->deferredWork_ = configuration.deferredWork;
  globals->followCloudChanges_ = configuration.followCloudChanges;
  globals->appLifecycleID_ = AppLifecycleID::make();
  logger.info(std::string("Initializing File Provider process...(") + kExtensionShortVersion +
                  " (" + kExtensionBuildVersion + "), missing commit ID)",
              {{"appLifecycleID", globals->appLifecycleID_.rawValue},
               {"executablePath", executablePath()}});

  if (!raiseOpenFileLimit()) logger.error("Increasing max file limit for the process failed");

  globals->featureList_ = configuration.featureList;
  if (!globals->featureList_) {
    globals->featureList_ = std::shared_ptr<common::FeatureList>(&common::FeatureList::shared(),
                                                                 [](common::FeatureList*) {});
  }
  globals->featureList_->initialize(*globals->appGroup_->defaults());
  globals->featureOverridesObservation_ =
      globals->featureList_->follow(*globals->appGroup_->preferences());

  globals->distributedNotificationCenter_ = configuration.distributedNotificationCenter;
  if (!globals->distributedNotificationCenter_ && configuration.useSessionBus) {
    auto bus = platform::DBusNotificationCenter::connectSessionBus(logger.child("Notifications"));
    if (bus) {
      globals->distributedNotificationCenter_ = std::move(*bus);
    } else {
      logger.info("No session bus: other processes are not told of this one's events",
                  {{"error", bus.error().message}});
    }
  }
  if (!globals->distributedNotificationCenter_) {
    globals->distributedNotificationCenter_ = globals->notificationCenter_;
  }
  globals->driveRepository_ = std::move(stores->driveRepository);

  auto eventStorage =
      std::make_shared<common::EventStorage>(stores->database, logger.child("EventStorage"));
  globals->eventBroker_ = EventBroker::make(
      {eventStorage,
       globals->distributedNotificationCenter_,
       {{PathUpdatedInfo::kEventName, pathUpdatedInfoCoder()}},
       static_cast<std::int64_t>(::getpid()),
       std::make_shared<EventStorageCleaner>(eventStorage, kEventStorageCleanerThreshold,
                                             globals->clock_, logger.child("EventStorageCleaner")),
       globals->clock_},
      logger.child("EventBroker"));
  globals->eventBroker_->start();

  globals->relaunch_ = std::make_shared<Relaunch>(globals->appGroup_, logger.child("Relaunch"),
                                                  globals->distributedNotificationCenter_,
                                                  std::move(configuration.exit));
  globals->relaunch_->startObserving();

  // What earlier runs left in the temporary folder goes, unless another process serves the
  // drives (its files are its own).
  if (globals->deferredWork_) {
    OrphanedFilesCleanup(globals->appGroup_->temporaryDirectoryURL(), std::nullopt,
                         logger.child("OrphanedFilesCleanup"))
        .run(globals->clock_->now());
  }

  logger.info("Initializing File Provider process done");
  return globals;
}

std::shared_ptr<FileProviderGlobals> FileProviderGlobals::shared() {
  static std::once_flag once;
  static std::shared_ptr<FileProviderGlobals> globals;
  std::call_once(once, [] {
    FileProviderGlobalsConfiguration configuration;
    configuration.containerRoot = common::appGroupContainerRoot();
    configuration.exit = [](int status) { std::exit(status); };
    if (auto made = make(std::move(configuration))) globals = std::move(*made);
  });
  return globals;
}

FileProviderGlobals::~FileProviderGlobals() {
  if (eventBroker_) eventBroker_->stop();
  if (relaunch_) relaunch_->stopObserving();
}

std::expected<common::Drive, ProviderStartError> FileProviderGlobals::drive(
    const fp::DomainIdentifier& domain) const {
  auto identifier = base::normalizedUuid(domain.rawValue());
  if (!identifier) {
    if (domain.rawValue() == fp::DomainIdentifier::kDefaultRawValue) {
      logger_.warning("Received NSFileProviderDomainDefaultIdentifier from system");
    } else {
      logger_.error("Unknown NSFileProviderDomain identifier", {{"domain", domain.rawValue()}});
    }
    return std::unexpected(
        ProviderStartError{"The domain identifier " + domain.rawValue() + " names no drive"});
  }
  auto drive = driveRepository_->drive(*identifier);
  if (!drive) return std::unexpected(ProviderStartError{drive.error().message});
  return std::move(*drive);
}

base::JSONValue deploymentUserInfo() {
  auto info = base::JSONValue::object();
  info["deploymentEnvironment"] =
      std::string(base::deploymentEnvironmentName(base::BuildInfo::targetDeploymentEnvironment()));
  return info;
}

}  // namespace tarnix::fileprovider
