#include "fileprovider/Provider.hpp"

#include <algorithm>
#include <utility>

#include "base/Hash.hpp"
#include "base/Uuid.hpp"
#include "common/Feature.hpp"
#include "common/KnownPath.hpp"
#include "fileprovider/enumeration/Enumerator.hpp"
#include "fileprovider/upload/ChunkUploadUtility.hpp"

namespace tarnix::fileprovider {

namespace {

constexpr const char* kComputeChecksumBehaviour = "computeChecksumOfUserFacingFile";
// How long invalidation waits for content fetches to complete once their transfers are
// cancelled (they complete within moments; the bound keeps a fault from holding the caller).
constexpr auto kTransferStopLimit = std::chrono::seconds(30);

fp::ProgressPtr finishedProgress() {
  auto progress = fp::Progress::make(1);
  progress->setCompletedUnitCount(1);
  return progress;
}

}  // namespace

std::expected<std::shared_ptr<Provider>, ProviderStartError> Provider::make(
    const fp::Domain& domain, fp::ManagerPtr manager, common::Drive drive,
    std::shared_ptr<FileProviderGlobals> globals, base::Logger logger,
    std::shared_ptr<const common::FeatureList> featureList) {
  auto provider = std::shared_ptr<Provider>(new Provider());
  auto& p = *provider;
  auto fail = [&](std::string message, bool migration = false) {
    logger.error(message);
    return std::unexpected(ProviderStartError{std::move(message), migration});
  };
  p.distributedNotificationCenter_ = globals->distributedNotificationCenter();
  p.logger_ = logger;
  p.domain_ = domain;
  p.drive_ = std::move(drive);
  p.appGroup_ = globals->appGroup();
  p.clock_ = globals->clock();
  p.suppressionsHandler_ = std::make_shared<FileProviderSuppressionsHandler>(
      p.appGroup_->defaults(), logger.child("FileProviderSuppressionsHandler"));
  p.driveRepository_ = globals->driveRepository();
  p.featureList_ = std::move(featureList);

  if (!manager) return fail("Cannot initialise Provider due to missing NSFileProviderManager");
  p.manager_ = std::move(manager);

  auto driveDirectory =
      p.appGroup_->knownPaths().knownPathURL(common::KnownPath::drive(p.drive_.identifier));
  if (!driveDirectory) return fail("Opening drive database failed");
  auto database = common::DriveDatabase::open(*driveDirectory, p.drive_.identifier);
  if (!database) {
    logger.error("Opening drive database failed", {{"error", database.error().description()}});
    return std::unexpected(
        ProviderStartError{"Opening drive database failed: " + database.error().description(),
                           database.error().kind == common::DatabaseError::Kind::migration});
  }
  p.driveDatabase_ = std::move(*database);
  auto storage = common::SyncItemStorage::make(p.driveDatabase_->dbQueue(), p.drive_.cloudStartPath,
                                               std::make_shared<base::Logger>(logger));
  if (!storage) return fail("Opening drive database failed: " + storage.error().description());
  p.itemStorage_ = std::shared_ptr<common::SyncItemStorage>(std::move(*storage));

  p.configurationProvider_ = common::DriveConfigurationProvider::make(
      p.driveRepository_, p.drive_.identifier, globals->notificationCenter(),
      p.distributedNotificationCenter_, logger.child("DriveConfigurationProvider"));
  p.configurationProvider_->start();
  ProviderUploadCollaborators uploads;
  uploads.configurationProvider = p.configurationProvider_;
  uploads.featureList = p.featureList_;
  uploads.notificationCenter = p.distributedNotificationCenter_;
  uploads.listFolderAgain =
      [weak = std::weak_ptr<Provider>(provider)](const common::SyncFolderIdentifier& folder) {
        auto self = weak.lock();
        if (!self || !self->listingScheduler_) return;
        self->listingScheduler_->triggerListing(folder, ListingOrigin::enumerator, /*force=*/true,
                                                /*forceRefreshLocks=*/false, [](auto) {});
      };
  p.cloud_ = ProviderCloudServices::make(p.drive_, *p.appGroup_, p.itemStorage_, logger,
                                         kExtensionShortVersion, globals->appLifecycleID().rawValue,
                                         std::move(uploads));

  p.domainDataStorage_ = std::make_shared<common::DomainDataStorage>(
      p.driveDatabase_->dbQueue(), p.drive_.identifier, std::make_shared<base::Logger>(logger));
  p.offlineCacheURL_ = p.appGroup_->offlineCacheRootURL() / p.drive_.identifier;

  auto temporary = p.manager_->temporaryDirectoryURL();
  if (!temporary) return fail("Unable to get temporary URL");
  p.temporaryDirectoryCached_ = *temporary;

  p.networkMonitor_ = std::make_shared<ProviderNetworkMonitor>(
      p.drive_, p.cloud_.cfsSessionFactory, p.cloud_.cloudErrorHandler,
      p.featureList_ && p.featureList_->isEnabled(common::Feature::networkMonitor),
      logger.child("NetworkMonitor"));
  p.locking_ = ProviderLockingServices::make(
      p.drive_, *p.appGroup_, p.itemStorage_, p.driveDatabase_->dbQueue(), p.cloud_,
      p.configurationProvider_, p.distributedNotificationCenter_, p.clock_, logger);
  p.makeListing();
  p.makeSyncService(globals->deferredWork());
  if (globals->deferredWork()) p.locking_.start();

  // The converter maps the framework's root to the drive's root folder.
  auto root = p.ensureRootItem();
  if (!root) return fail("Opening drive database failed: " + root.error());
  const auto rootIdentifier = *root->itemIdentifier.folder();
  p.converter_ = std::make_shared<const FileProviderConverter>(
      p.drive_, p.itemStorage_, p.driveRepository_, rootIdentifier, p.featureList_,
      p.networkMonitor_, p.configurationProvider_);

  auto syncThumbnailLoader =
      SyncThumbnailLoader::make(p.itemStorage_, makeThumbnailCloudClient(p.cloud_.cloudClient),
                                p.configurationProvider_, logger.child("SyncThumbnailLoader"));
  syncThumbnailLoader->start();
  p.makeActions();
  p.thumbnailLoader_ = std::make_shared<ThumbnailLoader>(
      std::move(syncThumbnailLoader), p.converter_, logger.child("ThumbnailLoader"));

  p.statusProvider_ = FileProviderStatusProvider::make(
      p.manager_, p.driveRepository_, p.drive_, p.featureList_,
      logger.child("FileProviderStatusProvider"), globals->notificationCenter());
  p.statusProvider_->start();
  p.cloud_.cloudErrorHandler->setAuthenticationObserver(
      [status = std::weak_ptr(p.statusProvider_)] {
        if (auto provider = status.lock()) provider->reloadAuthenticationStatus();
      });
  p.networkMonitor_->setReporter(p.statusProvider_);
  p.networkMonitor_->start();
  p.workingSetEnumerator_ = std::make_shared<WorkingSetEnumerator>(
      logger.child("WorkingSetEnumerator"), p.itemStorage_, p.converter_, p.statusProvider_);
  p.modifyDebouncer_ = std::make_unique<ItemDebouncer>(
      common::CloudConfiguration::defaultConfiguration().inDesignDebouncerInterval, p.clock_);

  // The stored configuration arrives once the configuration provider has read it, and again
  // whenever it changes: the values read now may still be the built-in defaults.
  p.configurationSubscription_ = p.configurationProvider_->subscribe(
      [weak = std::weak_ptr<Provider>(provider)](const common::CloudConfiguration& configuration) {
        if (auto self = weak.lock()) self->applyConfiguration(configuration);
      });

  if (globals->deferredWork() && globals->followCloudChanges() && p.featureList_ &&
      p.featureList_->isEnabled(common::Feature::backgroundCFSIngestion)) {
    p.startEventFeed(*driveDirectory, globals->eventBroker());
  }

  p.fileLevelUIPresent_ = p.evaluateFileLevelUI();
  p.startBumpingDomainVersion();
  logger.info(std::string("File provider initialised. (") + kExtensionShortVersion + ")");
  return provider;
}

void Provider::applyConfiguration(const common::CloudConfiguration& configuration) {
  if (deletionManager_)
    deletionManager_->setDelayedDeletionExtensions(configuration.delayedDeletionExtensions);
  const bool checksum =
      std::ranges::find(configuration.customClientBehaviours, kComputeChecksumBehaviour) !=
      configuration.customClientBehaviours.end();
  const double interval = configuration.inDesignDebouncerInterval;
  const bool checksumChanged = computeChecksumOfUserFacingFile_.exchange(checksum) != checksum;
  const bool intervalChanged = modifyDebouncer_->delay() != interval;
  modifyDebouncer_->setDelay(interval);
  if (checksumChanged || intervalChanged) {
    logger_.info("Cloud configuration applied", {{"computeChecksumOfUserFacingFile", checksum},
                                                 {"inDesignDebouncerInterval", interval}});
  }
}

namespace {

const common::FeatureList& noFeatures() {
  static const common::FeatureList features;
  return features;
}

}  // namespace

void Provider::makeSyncService(bool deferredWork) {
  DeletionManagerSettings settings;
  settings.delayedDeletionsEnabled =
      featureList_ && featureList_->isEnabled(common::Feature::delayedDeletions);
  settings.delayedDeletionExtensions = configurationProvider_->value().delayedDeletionExtensions;
  auto listFolder = [scheduler = std::weak_ptr(listingScheduler_)](
                        const common::SyncFolderIdentifier& folder,
                        std::function<void(std::optional<SyncCloudError>)> done) {
    auto self = scheduler.lock();
    if (!self)
      return done(SyncCloudError(common::SyncError(common::SyncError::Code::serverUnreachable)));
    self->triggerListing(
        folder, ListingOrigin::enumerator, /*force=*/true,
        /*forceRefreshLocks=*/false, [done](ListingResult<void> listed) {
          if (listed) return done(std::nullopt);
          if (const auto* sync = listed.error().syncError()) return done(*sync);
          if (const auto* cloud = std::get_if<SyncCloudError>(&listed.error().value))
            return done(*cloud);
          done(SyncCloudError(common::SyncError(common::SyncError::Code::serverUnreachable)));
        });
  };
  deletionManager_ = std::make_shared<DeletionManager>(
      cloud_.syncClient, itemStorage_, std::move(settings),
      [listFolder](const common::SyncFolderIdentifier& folder) { listFolder(folder, [](auto) {}); },
      clock_, logger_.child("DeletionManager"));
  if (deferredWork) deletionManager_->activate();
  const auto& chunkUploadStorage = cloud_.chunkUploadStorage;
  // Chunk sessions a day old are refused by the cloud; their rows go when the drive starts.
  if (auto swept = chunkUploadStorage->removeRetiredChunks(clock_->now(), kChunkSessionLifetime);
      !swept) {
    logger_.error("Error while removing retired chunks", {{"error", swept.error().description()}});
  }
  auto uploadErrorPresenter = std::make_shared<UploadErrorPresenter>(
      drive_.identifier, drive_.domain, nullptr,
      desktopUploadFailureCenter(logger_.child("UploadErrorPresenter")),
      logger_.child("UploadErrorPresenter"));
  cloud_.syncService = std::make_shared<SyncService>(
      SyncService::Collaborators{itemStorage_, drive_, cloud_.syncClient, deletionManager_,
                                 skipsService_, featureList_, listFolder, chunkUploadStorage,
                                 cloud_.uploadValidator, std::move(uploadErrorPresenter),
                                 configurationProvider_, clock_},
      logger_.child("SyncService"));
}

void Provider::makeListing() {
  listingMetadataStorage_ = std::make_shared<ListingMetadataStorage>(
      driveDatabase_->dbQueue(), logger_.child("ListingMetadataStorage"));
  skipsService_ = std::make_shared<common::SkipsService>(
      std::make_shared<common::SkipsRepository>(driveDatabase_->dbQueue(),
                                                logger_.child("SkipsRepository")),
      distributedNotificationCenter_, featureList_ ? *featureList_ : noFeatures(),
      logger_.child("SkipsService"), drive_.identifier, clock_);

  ListingService::Collaborators services;
  services.itemStorage = itemStorage_;
  services.cloudClient = cloud_.cloudClient;
  services.metadataStorage = listingMetadataStorage_;
  services.skipsService = skipsService_;
  services.currentUserIdentifier = drive_.userIdentifier;
  services.lockRemovalDetector = locking_.removalDetector;
  services.clock = clock_;
  listingService_ =
      std::make_shared<ListingService>(std::move(services), logger_.child("ListingService"));
  ListingScheduler::Collaborators scheduling;
  scheduling.listingServiceForOnlineRealm =
      std::make_shared<ReachabilityCheckingListingService>(listingService_, networkMonitor_);
  scheduling.listingMetadataStorage = listingMetadataStorage_;
  scheduling.itemStorage = itemStorage_;
  listingScheduler_ =
      ListingScheduler::make(std::move(scheduling), logger_.child("ListingScheduler"));

  std::weak_ptr<Provider> weak = weak_from_this();
  cloudItemPresentationTracker_ = std::make_shared<ListingPresentationTracker>(
      listingScheduler_,
      [weak](const common::SyncFolderIdentifier& folder) {
        if (auto self = weak.lock()) self->signalChanges(folder);
      },
      logger_.child("CloudItemPresentationTracker"));
  listingService_->setChangeHandler(
      [tracker = std::weak_ptr(cloudItemPresentationTracker_)](const auto& folder) {
        if (auto self = tracker.lock()) self->folderDidChange(folder);
      });
  listingCrawler_ = std::make_shared<ListingCrawler>(listingScheduler_, itemStorage_,
                                                     logger_.child("ListingCrawler"));
}

std::expected<common::SyncItem, std::string> Provider::ensureRootItem() {
  auto root = itemStorage_->rootItem();
  if (root && root->isFolder()) return *root;
  const auto* missing = root ? nullptr : root.error().syncError();
  if (root || !missing || missing->code() != common::SyncError::Code::noSuchItem) {
    return std::unexpected(root ? std::string("the root item is no folder")
                                : root.error().description());
  }
  common::SyncItem item;
  item.itemIdentifier = common::SyncFolderIdentifier{base::makeUuid()};
  item.parentItemIdentifier = common::SyncFolderIdentifier::zero();
  const auto& start = drive_.cloudStartPath;
  const auto slash = start.find_last_of('/');
  item.filename = slash == std::string::npos ? start : start.substr(slash + 1);
  if (item.filename.empty()) item.filename = "/";
  item.uploadDate = std::chrono::system_clock::now();
  item.isMaterialized = false;
  auto stored = itemStorage_->setRootItem(item);
  if (!stored) return std::unexpected(stored.error().description());
  logger_.info("Root item created",
               {{"itemID", item.itemIdentifier.description()}, {"path", start}});
  return *stored;
}

void Provider::signalChanges(const common::SyncFolderIdentifier& folder) {
  if (invalidated_) return;
  const auto container = converter_ ? converter_->itemIdentifier(common::SyncItemIdentifier(folder))
                                    : fp::ItemIdentifier();
  manager_->signalEnumerator(container, [logger = logger_, folder](std::optional<fp::Error> error) {
    if (error) {
      logger.error("Signalling enumerator failed",
                   {{"itemID", folder.description()}, {"error", *error}});
    }
  });
  signalWorkingSet();
}

Provider::~Provider() {
  logger_.info("File provider deinitialised.");
}

void Provider::invalidate() {
  if (invalidated_.exchange(true)) return;
  logger_.info("File provider invalidated.");
  cancellables_.clear();
  configurationSubscription_.reset();
  if (networkMonitor_) networkMonitor_->stop();
  locking_.stop();
  if (statusProvider_) statusProvider_->stop();
  {
    std::lock_guard lock(discoveryMutex_);
    if (discoveryRetry_) discoveryRetry_->cancel();
  }
  if (redSocket_) redSocket_->stop();
  if (backgroundCFSIngestion_) backgroundCFSIngestion_->stop();
  // Listings first, so that no new request follows the cancellation of the transfers; then
  // every request of the drive ends, whoever sent it.
  if (listingCrawler_) listingCrawler_->stop();
  if (listingScheduler_) listingScheduler_->stop();
  if (thumbnailLoader_) thumbnailLoader_->syncThumbnailLoader()->stop();
  if (cloud_.urlSession) cloud_.urlSession->invalidateAndCancel();
  // After the cancellation: a delayed deletion in flight ends at once and stays marked for the
  // next start, instead of holding the shutdown for its request's time-out.
  if (deletionManager_) deletionManager_->stop();
  if (!transfers_->closeAndWait(kTransferStopLimit)) {
    logger_.error("Content fetches did not end after invalidation",
                  {{"running", transfers_->running()}});
  }
  if (cloud_.uploadValidator) cloud_.uploadValidator->stop();
  if (configurationProvider_) configurationProvider_->stop();
  std::shared_ptr<ProviderInstanceServiceSource> source;
  std::shared_ptr<ListingServiceSource> listingSource;
  std::shared_ptr<LockingServiceSource> lockingSource;
  {
    std::lock_guard lock(serviceSourceMutex_);
    source = std::move(instanceServiceSource_);
    listingSource = std::move(listingServiceSource_);
    lockingSource = std::move(lockingServiceSource_);
  }
  if (source) source->stop();
  if (listingSource) listingSource->stop();
  if (lockingSource) lockingSource->stop();
}

void Provider::importDidFinish(std::function<void()> completion) {
  logger_.info("Import finished on FPd side");
  completion();
}

std::optional<common::SyncItemIdentifier> Provider::parse(const fp::ItemIdentifier& identifier,
                                                          const char* invalidText) const {
  auto parsed = converter_->syncItemIdentifier(identifier);
  if (!parsed) logger_.error(invalidText, {{"itemID", identifier.rawValue()}});
  return parsed;
}

fp::ProgressPtr Provider::item(const fp::ItemIdentifier& identifier, const fp::Request&,
                               ItemCompletion completion) {
  const auto operationID = base::makeUuid();
  auto progress = fp::Progress::make(1);
  auto lookup = fp::Progress::make(1);
  progress->addChild(lookup, 1);
  progress->setCancellationHandler([logger = logger_, operationID] {
    logger.debug("Item lookup cancelled", {{"opID", operationID}});
  });
  auto parsed = converter_->syncItemIdentifier(identifier);
  if (!parsed) {
    logger_.error("Invalid item ID given by system to item()",
                  {{"itemID", identifier.rawValue()}, {"opID", operationID}});
    completion(nullptr, fp::Error::forNonExistentItem(identifier));
    return progress;
  }
  TLOG_DEBUG(logger_, "Looking up item",
             {{"itemID", parsed->description()}, {"opID", operationID}});
  auto found = itemStorage_->item(*parsed);
  lookup->setCompletedUnitCount(1);
  if (!found) {
    const auto* sync = found.error().syncError();
    if (sync && sync->code() == common::SyncError::Code::noSuchItem) {
      completion(nullptr, fp::Error::forNonExistentItem(identifier));
    } else {
      logger_.error("Looking up item failed", {{"itemID", parsed->description()},
                                               {"opID", operationID},
                                               {"error", found.error().description()}});
      completion(nullptr, converter_->convert(found.error()));
    }
    return progress;
  }
  completion(converter_->item(*found), std::nullopt);
  return progress;
}

std::expected<fp::EnumeratorPtr, fp::Error> Provider::enumerator(
    const fp::ItemIdentifier& containerItemIdentifier, const fp::Request&) {
  if (containerItemIdentifier.isTrashContainer()) {
    return std::unexpected(fp::Error::unsupportedFeature());
  }
  if (containerItemIdentifier.isWorkingSet()) return workingSetEnumerator_;
  auto parsed = converter_->syncItemIdentifier(containerItemIdentifier);
  if (!parsed) {
    logger_.error("Invalid container ID given by system to enumerator()",
                  {{"itemID", containerItemIdentifier.rawValue()}});
    return std::unexpected(fp::Error(fp::FileProviderErrorCode::noSuchItem));
  }
  return std::make_shared<Enumerator>(itemStorage_, converter_, listingScheduler_,
                                      cloudItemPresentationTracker_, logger_.child("Enumerator"),
                                      *parsed);
}

fp::ProgressPtr Provider::fetchThumbnails(const std::vector<fp::ItemIdentifier>& identifiers,
                                          fp::ThumbnailSize requestedSize,
                                          PerThumbnailCompletion perThumbnail,
                                          ErrorCompletion completion) {
  return thumbnailLoader_->fetchThumbnails(identifiers, requestedSize, std::move(perThumbnail),
                                           std::move(completion));
}

fp::ProgressPtr Provider::performAction(const fp::ActionIdentifier& actionIdentifier,
                                        const std::vector<fp::ItemIdentifier>& itemIdentifiers,
                                        ErrorCompletion completion) {
  performActionWithIdentifier(actionIdentifier, itemIdentifiers, std::move(completion));
  return finishedProgress();
}

void Provider::performActionWithIdentifier(const std::string& actionIdentifier,
                                           const std::vector<fp::ItemIdentifier>& itemIdentifiers,
                                           std::function<void(std::optional<fp::Error>)> reply) {
  customActionHandler_->performAction(actionIdentifier, itemIdentifiers, std::move(reply));
}

fp::ProgressPtr Provider::supportedServiceSources(const fp::ItemIdentifier& identifier,
                                                  ServiceSourcesCompletion completion) {
  std::vector<fp::ServiceSourcePtr> sources;
  if (auto item = converter_ ? converter_->syncItemIdentifier(identifier) : std::nullopt) {
    std::lock_guard lock(serviceSourceMutex_);
    if (!lockingServiceSource_) {
      lockingServiceSource_ = std::make_shared<LockingServiceSource>(
          std::nullopt, locking_.synchronizer, locking_.lockingService,
          appGroup_->temporaryDirectoryURL(), logger_.child("LockingServiceSource"));
    }
    sources.push_back(lockingServiceSource_);
  }
  if (identifier.isRootContainer()) {
    std::lock_guard lock(serviceSourceMutex_);
    if (!instanceServiceSource_) {
      instanceServiceSource_ = std::make_shared<ProviderInstanceServiceSource>(
          weak_from_this(), appGroup_->temporaryDirectoryURL(),
          logger_.child("ProviderInstanceServiceSource"));
    }
    sources.push_back(instanceServiceSource_);
  }
  if (featureList_ && featureList_->isEnabled(common::Feature::recents)) {
    std::lock_guard lock(serviceSourceMutex_);
    if (!listingServiceSource_) {
      listingServiceSource_ = std::make_shared<ListingServiceSource>(
          itemStorage_, listingScheduler_, appGroup_->temporaryDirectoryURL(),
          logger_.child("ListingServiceSource"));
    }
    sources.push_back(listingServiceSource_);
  }
  // The offline-folder and Office sources follow with their services.
  completion(std::move(sources), std::nullopt);
  return finishedProgress();
}

fp::DomainVersion Provider::domainVersion() {
  auto stored = domainDataStorage_->domainVersion();
  if (!stored || !*stored) return fp::DomainVersion();
  auto bytes = base::base64Decode((*stored)->encoded);
  if (!bytes) return fp::DomainVersion();
  auto version = fp::DomainVersion::unarchive(fp::Data(bytes->begin(), bytes->end()));
  // A database that was never bumped holds the first version in an older form.
  return version ? *version : fp::DomainVersion();
}

void Provider::bumpDomainVersion() {
  std::lock_guard lock(domainVersionMutex_);
  const auto current = domainVersion();
  TLOG_DEBUG(logger_, "Bumping domain version from: " + current.description());
  const auto next = current.next();
  auto stored = domainDataStorage_->replaceDomainVersion(
      {base::base64Encode(next.archived()), next.description()});
  if (!stored) {
    logger_.error("Unable to bump domain version", {{"error", stored.error().description()}});
    return;
  }
  signalWorkingSet();
}

void Provider::signalWorkingSet() {
  manager_->signalEnumerator(fp::ItemIdentifier::workingSet(),
                             [logger = logger_](std::optional<fp::Error> error) {
                               if (error) {
                                 logger.error("Signalling working set failed", {{"error", *error}});
                               }
                             });
}

bool Provider::evaluateFileLevelUI() const {
  if (!featureList_ || !featureList_->isEnabled(common::Feature::fileLevelUI)) return false;
  auto folder = appGroup_->knownPaths().knownPathURL(common::KnownPath::flui());
  if (!folder) return false;
  std::error_code error;
  return std::filesystem::exists(*folder / drive_.identifier, error);
}

bool Provider::fileLevelUIPresent() const {
  std::lock_guard lock(fileLevelUIMutex_);
  return fileLevelUIPresent_;
}

void Provider::fileLevelUIStatusChanged() {
  logger_.info("ALUI status has been updated");
  const bool present = evaluateFileLevelUI();
  {
    std::lock_guard lock(fileLevelUIMutex_);
    if (present == fileLevelUIPresent_) return;
    fileLevelUIPresent_ = present;
  }
  bumpDomainVersion();
}

void Provider::startBumpingDomainVersion() {
  std::weak_ptr<Provider> weak = weak_from_this();
  cancellables_.push_back(
      appGroup_->preferences()->featureOverridesPublisher([weak](const base::JSONValue&) {
        auto self = weak.lock();
        if (!self) return;
        self->logger_.info("featureOverrides have been updated");
        self->bumpDomainVersion();
      }));
  if (distributedNotificationCenter_) {
    cancellables_.push_back(distributedNotificationCenter_->addObserver(
        kFileLevelUIStatusDidChange, [weak](const std::string&, const std::string&) {
          if (auto self = weak.lock()) self->fileLevelUIStatusChanged();
        }));
  }
}

}  // namespace tarnix::fileprovider
