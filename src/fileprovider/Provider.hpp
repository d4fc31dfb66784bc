#pragma once
// The provider of one domain (one drive): it builds every per-drive service in a fixed order,
// each taking earlier ones as arguments, owns them until the domain is invalidated, and answers
// the framework's calls through them.
//
// Build order (services of later parts join at their place): the drive database and item
// store; the drive's configuration provider; the cloud services; the domain data storage, the
// offline cache folder and the cloud item presentation tracker; the listing services; the
// network monitor and the converter; the status provider (told by the network monitor), the
// working-set enumerator and the modification debouncer; then the provider follows the drive's
// cloud configuration (the debouncer's interval and the checksum flag take each value the
// configuration provider emits, the stored one included once it is loaded), domain-version
// bumping starts and "File provider initialised. (<version>)" is logged.
//
// Invalidation ends everything that could still run: subscriptions, the network monitor and
// the status provider, the listing crawler and scheduler (the listings in flight are
// cancelled), thumbnail loading, every transfer of the drive's URL session, and the content
// fetches, whose completions have run when it returns. Framework calls that would start work
// afterwards are refused with the cannot-synchronize error.
//
// Threads: framework calls arrive on any thread and are not serialised here; each service
// serialises its own work. invalidate() must not be called from a service's queue.

#include <atomic>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/DomainDataStorage.hpp"
#include "common/Drive.hpp"
#include "common/DriveConfigurationProvider.hpp"
#include "common/DriveDatabase.hpp"
#include "common/FeatureList.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/FileProviderGlobals.hpp"
#include "fileprovider/FileProviderSuppressionsHandler.hpp"
#include "fileprovider/ProviderCloudServices.hpp"
#include "fileprovider/ProviderLocking.hpp"
#include "fileprovider/ProviderNetworkMonitor.hpp"
#include "fileprovider/ProviderTransfers.hpp"
#include "fileprovider/actions/CustomActionHandler.hpp"
#include "fileprovider/enumeration/WorkingSetEnumerator.hpp"
#include "fileprovider/events/BackgroundCFSIngestion.hpp"
#include "fileprovider/events/REDSocket.hpp"
#include "fileprovider/items/CloudItemPresentationTracker.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"
#include "fileprovider/items/FileProviderStatusProvider.hpp"
#include "fileprovider/listing/ListingCrawler.hpp"
#include "fileprovider/listing/ListingPresentationTracker.hpp"
#include "fileprovider/listing/ListingScheduler.hpp"
#include "fileprovider/sources/ListingServiceSource.hpp"
#include "fileprovider/sources/LockingServiceSource.hpp"
#include "fileprovider/sources/ProviderInstanceServiceSource.hpp"
#include "fileprovider/sync/ItemDebouncer.hpp"
#include "fileprovider/thumbnails/ThumbnailLoader.hpp"
#include "platform/DistributedNotificationCenter.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::fileprovider {

/// Posted (distributed) when the file-level UI of a drive appears or goes.
inline constexpr const char* kFileLevelUIStatusDidChange = "com.tarnix.FileLevelUIStatusDidChange";

class Provider final : public fp::ReplicatedExtension,
                       public ProviderInstanceService,
                       public std::enable_shared_from_this<Provider> {
 public:
  /// Fails with "Cannot initialise Provider due to missing NSFileProviderManager", "Opening
  /// drive database failed" (a migration error when the file is from a newer build), or
  /// "Unable to get temporary URL".
  static std::expected<std::shared_ptr<Provider>, ProviderStartError> make(
      const fp::Domain& domain, fp::ManagerPtr manager, common::Drive drive,
      std::shared_ptr<FileProviderGlobals> globals, base::Logger logger,
      std::shared_ptr<const common::FeatureList> featureList);
  ~Provider() override;

  /// The drive's locking services (see ProviderLockingServices).
  const ProviderLockingServices& locking() const { return locking_; }
  /// Who answers which files of this drive are open (the mount's table of open handles); until
  /// one is set, synchroniser passes neither lock nor release.
  void setOpenFilesSource(std::shared_ptr<OpenFilesSource> source) {
    locking_.setOpenFilesSource(std::move(source));
  }
  /// The desktop application's service for the actions it carries out; none on Linux, where
  /// those actions answer that they are not available.
  void setFinderSupportService(std::shared_ptr<FinderSupportService> service) {
    contextMenuHandler_->setFinderSupportService(std::move(service));
  }

  // MARK: fp::ReplicatedExtension

  void invalidate() override;
  void importDidFinish(std::function<void()> completion) override;
  fp::ProgressPtr item(const fp::ItemIdentifier& identifier, const fp::Request& request,
                       ItemCompletion completion) override;
  fp::ProgressPtr fetchContents(const fp::ItemIdentifier& identifier,
                                const std::optional<fp::ItemVersion>& requestedVersion,
                                const fp::Request& request,
                                FetchContentsCompletion completion) override;
  fp::ProgressPtr fetchPartialContents(const fp::ItemIdentifier& identifier,
                                       const fp::ItemVersion& requestedVersion,
                                       const fp::Request& request, fp::ByteRange minimalRange,
                                       std::int64_t alignment, fp::FetchContentsOptions options,
                                       FetchPartialContentsCompletion completion) override;
  fp::ProgressPtr createItem(fp::ItemPtr itemTemplate, fp::ItemFields fields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::CreateItemOptions options, const fp::Request& request,
                             ChangeItemCompletion completion) override;
  fp::ProgressPtr modifyItem(fp::ItemPtr item, const fp::ItemVersion& baseVersion,
                             fp::ItemFields changedFields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::ModifyItemOptions options, const fp::Request& request,
                             ChangeItemCompletion completion) override;
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier& identifier,
                             const fp::ItemVersion& baseVersion, fp::DeleteItemOptions options,
                             const fp::Request& request, ErrorCompletion completion) override;
  std::expected<fp::EnumeratorPtr, fp::Error> enumerator(
      const fp::ItemIdentifier& containerItemIdentifier, const fp::Request& request) override;
  fp::ProgressPtr fetchThumbnails(const std::vector<fp::ItemIdentifier>& identifiers,
                                  fp::ThumbnailSize requestedSize,
                                  PerThumbnailCompletion perThumbnail,
                                  ErrorCompletion completion) override;
  fp::ProgressPtr performAction(const fp::ActionIdentifier& actionIdentifier,
                                const std::vector<fp::ItemIdentifier>& itemIdentifiers,
                                ErrorCompletion completion) override;
  fp::ProgressPtr supportedServiceSources(const fp::ItemIdentifier& identifier,
                                          ServiceSourcesCompletion completion) override;
  /// Kept in the shared preferences (see FileProviderSuppressionsHandler).
  void setInteractionSuppressed(bool suppression,
                                const std::string& suppressionIdentifier) override {
    suppressionsHandler_->setInteractionSuppressed(suppression, suppressionIdentifier);
  }
  bool isInteractionSuppressed(const std::string& suppressionIdentifier) override {
    return suppressionsHandler_->isInteractionSuppressed(suppressionIdentifier);
  }
  /// The stored version; a fresh one when none (or none readable) is stored.
  fp::DomainVersion domainVersion() override;
  base::JSONValue userInfo() override { return deploymentUserInfo(); }

  // MARK: ProviderInstanceService

  void performActionWithIdentifier(const std::string& actionIdentifier,
                                   const std::vector<fp::ItemIdentifier>& itemIdentifiers,
                                   std::function<void(std::optional<fp::Error>)> reply) override;
  bool isImportComplete() override { return true; }
  ImportProgress importProgress() override { return {}; }

  // MARK: Domain state

  /// Replaces the stored version by its next() and signals the working set.
  void bumpDomainVersion();
  /// Signals the working set through the manager ("Signalling working set failed").
  void signalWorkingSet();
  /// Re-reads the file-level UI state; a change bumps the domain version.
  void fileLevelUIStatusChanged();
  bool fileLevelUIPresent() const;

  const std::shared_ptr<common::SyncItemStorage>& itemStorage() const { return itemStorage_; }
  const std::shared_ptr<const FileProviderConverter>& converter() const { return converter_; }
  const std::shared_ptr<WorkingSetEnumerator>& workingSetEnumerator() const {
    return workingSetEnumerator_;
  }
  const std::shared_ptr<FileProviderStatusProvider>& statusProvider() const {
    return statusProvider_;
  }
  bool computeChecksumOfUserFacingFile() const { return computeChecksumOfUserFacingFile_.load(); }
  /// Seconds the modification debouncer waits (from the cloud configuration).
  double modifyDebouncerInterval() const { return modifyDebouncer_->delay(); }
  const std::shared_ptr<ProviderNetworkMonitor>& networkMonitor() const { return networkMonitor_; }
  /// True once invalidate() has begun.
  bool isInvalidated() const { return invalidated_.load(); }
  const std::shared_ptr<SyncCloudClient>& cloudClient() const { return cloud_.cloudClient; }
  const std::shared_ptr<SyncService>& syncService() const { return cloud_.syncService; }
  const std::shared_ptr<ListingScheduler>& listingScheduler() const { return listingScheduler_; }
  const std::shared_ptr<ListingCrawler>& listingCrawler() const { return listingCrawler_; }
  const std::shared_ptr<ListingMetadataStorage>& listingMetadataStorage() const {
    return listingMetadataStorage_;
  }
  /// The drive's change feed; null in a process that does not serve the drive (deferred work
  /// off) or when the feature is off.
  const std::shared_ptr<BackgroundCFSIngestion>& backgroundCFSIngestion() const {
    return backgroundCFSIngestion_;
  }
  /// Where the serving process writes the change feed's state ("EventFeed.json" in the
  /// drive's folder).
  static std::filesystem::path eventFeedStatusFile(const std::filesystem::path& driveDirectory) {
    return driveDirectory / "EventFeed.json";
  }

 private:
  Provider() = default;
  void startBumpingDomainVersion();
  /// The drive's root folder as stored; a drive never listed gets one (known by the drive's
  /// cloud start path until its first listing).
  std::expected<common::SyncItem, std::string> ensureRootItem();
  /// Builds the cloud client and the listing services over the item store.
  void makeListing();
  void makeActions();
  /// Builds the deletion manager and the sync service over the sync client and the listing
  /// scheduler; `deferredWork`: this process carries out delayed deletions.
  void makeSyncService(bool deferredWork);
  /// Starts following the cloud's change feed (this process serves the drive).
  void startEventFeed(const std::filesystem::path& driveDirectory,
                      std::shared_ptr<EventBroker> broker);
  /// Asks service discovery for the events server and hands it to the socket; tries again,
  /// backing off, until it is named.
  void discoverEventsServer(std::shared_ptr<cloudfs::CloudFSSession> session, int attempt);
  /// The item a change names, or the framework error for it (unknown: no such item).
  std::expected<common::SyncItem, fp::Error> changedItem(
      const common::SyncItemIdentifier& identifier, const fp::ItemIdentifier& requested) const;
  /// Whether the unwanted-item rules keep `filename` local (temporary files and folders).
  bool isTemporaryItem(const std::string& filename, bool isFolder) const;
  /// Uploads the new file `itemTemplate` (contents at `contents`) into `parent`.
  fp::ProgressPtr createFile(fp::ItemPtr itemTemplate, const common::SyncFolderIdentifier& parent,
                             const std::filesystem::path& contents, bool importing,
                             base::LoggerMetadata where, ChangeItemCompletion completion);
  /// Logs the SHA-512 of the new contents and of the user-facing file, and reports whether
  /// they are equal ("checksum_comparison").
  void logChecksum(const fp::ItemIdentifier& requested, const std::filesystem::path& contents,
                   const base::LoggerMetadata& where) const;
  /// The SHA-512 of `file`, logged under `label`; none (logged) when it cannot be read.
  std::optional<std::string> loggedChecksum(const std::filesystem::path& file, const char* label,
                                            const base::LoggerMetadata& where) const;
  void compareChecksums(const std::expected<std::filesystem::path, fp::Error>& url,
                        const std::string& snapshot, const base::LoggerMetadata& where) const;
  /// Reports a rename ("draft_folder_rename") or move ("draft_folder_move") of the drafts
  /// folder.
  void reportDraftsFolderChange(const common::SyncItem& folder,
                                const std::optional<common::SyncItem>& newParent,
                                const std::string& newName) const;
  /// The framework error for a failed change.
  fp::Error changeError(const SyncCloudError& error) const;
  /// Takes what the provider reads from the drive's cloud configuration.
  void applyConfiguration(const common::CloudConfiguration& configuration);
  /// Asks the framework to enumerate the changes of `folder` and of the working set.
  void signalChanges(const common::SyncFolderIdentifier& folder);
  bool evaluateFileLevelUI() const;
  /// The identifier parsed for `operation`'s log line; logs `invalidText` when it does not parse.
  std::optional<common::SyncItemIdentifier> parse(const fp::ItemIdentifier& identifier,
                                                  const char* invalidText) const;
  /// A new path "<prefix><UUID>" in the manager's temporary directory; none (logged "Unable to
  /// get temporary URL") when there is none.
  std::optional<std::filesystem::path> makeTemporaryURL(std::string_view prefix) const;
  /// The stored item a content fetch is for, or the framework error to answer with.
  std::expected<common::SyncItem, fp::Error> downloadableItem(
      const common::SyncItemIdentifier& identifier, const fp::ItemIdentifier& requested,
      const std::string& operationID) const;
  /// Removes a download's temporary file after a failure.
  void removeTemporaryFile(const std::filesystem::path& file) const;
  fp::Error downloadError(const SyncCloudError& error) const;

  std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter_;
  base::Logger logger_ = base::Logger::null();
  // fileManager: files are reached through std::filesystem until content fetching needs more.
  fp::Domain domain_;
  fp::ManagerPtr manager_;
  // The real-time event socket of the change feed (set with it), its subscription, and the
  // next attempt at service discovery while it has not named the events server.
  std::shared_ptr<REDSocket> redSocket_;
  std::shared_ptr<void> redSubscription_;
  std::mutex discoveryMutex_;
  std::shared_ptr<base::DispatchWorkItem> discoveryRetry_;  // guarded by discoveryMutex_
  common::Drive drive_;
  std::unique_ptr<common::DriveDatabase> driveDatabase_;
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::shared_ptr<ListingMetadataStorage> listingMetadataStorage_;
  std::shared_ptr<const FileProviderConverter> converter_;
  // draftsMigrator joins with its service.
  std::shared_ptr<ListingScheduler> listingScheduler_;
  std::shared_ptr<ListingPresentationTracker> cloudItemPresentationTracker_;
  std::shared_ptr<common::SkipsService> skipsService_;
  std::shared_ptr<ListingService> listingService_;
  std::shared_ptr<ListingCrawler> listingCrawler_;
  std::shared_ptr<ThumbnailLoader> thumbnailLoader_;
  // cloudSubscriber, offlineSyncPublisher and offlineNotificationsForwarder join with their
  // services.
  std::shared_ptr<common::DriveConfigurationProvider> configurationProvider_;
  // offlineFolderService, skipsService and offlineSkipsLoader join with their services.
  std::shared_ptr<common::DriveRepository> driveRepository_;
  std::shared_ptr<CustomActionHandler> customActionHandler_;
  std::shared_ptr<ContextMenuActionsHandler> contextMenuHandler_;
  std::shared_ptr<const common::FeatureList> featureList_;
  // unwantedItemRules and userNotificationCenter join with their services.
  std::vector<std::shared_ptr<void>> cancellables_;
  std::filesystem::path offlineCacheURL_;
  std::shared_ptr<common::DesktopAppGroup> appGroup_;
  std::shared_ptr<FileProviderSuppressionsHandler> suppressionsHandler_;
  std::shared_ptr<base::Clock> clock_;  // the process's (FileProviderGlobals::clock)
  std::shared_ptr<common::DomainDataStorage> domainDataStorage_;
  // The URL session, cloud session factory, drive cloud error handler, SyncCloudClient and the
  // sync service over it.
  ProviderCloudServices cloud_;
  ProviderLockingServices locking_;
  std::shared_ptr<ProviderNetworkMonitor> networkMonitor_;
  // chunkFileUploader, analytics and previousFPDBackingStoreIdentity join with their services.
  std::shared_ptr<BackgroundCFSIngestion> backgroundCFSIngestion_;
  std::shared_ptr<FileProviderStatusProvider> statusProvider_;
  // importManager joins with the import.
  std::shared_ptr<WorkingSetEnumerator> workingSetEnumerator_;
  std::shared_ptr<DeletionManager> deletionManager_;
  mutable std::mutex fileLevelUIMutex_;
  bool fileLevelUIPresent_ = false;  // guarded by fileLevelUIMutex_
  // collaborationSettingsStorage joins with the Office integration.
  std::filesystem::path temporaryDirectoryCached_;
  std::unique_ptr<ItemDebouncer> modifyDebouncer_;
  std::atomic<bool> computeChecksumOfUserFacingFile_{false};
  // Where the checksums of modified files are computed and logged.
  std::shared_ptr<base::DispatchQueue> checksumQueue_ =
      base::DispatchQueue::make("com.tarnix.Provider.checksum");
  std::shared_ptr<void> configurationSubscription_;  // released by invalidate()

  std::atomic<bool> invalidated_{false};
  // The content fetches in flight; shared with their completions, which may outlive this.
  std::shared_ptr<ProviderTransfers> transfers_ = std::make_shared<ProviderTransfers>();

  std::mutex serviceSourceMutex_;
  std::shared_ptr<ProviderInstanceServiceSource> instanceServiceSource_;  // guarded
  std::shared_ptr<ListingServiceSource> listingServiceSource_;            // guarded
  std::shared_ptr<LockingServiceSource> lockingServiceSource_;            // guarded
  std::mutex domainVersionMutex_;                                         // serialises bumps
};

}  // namespace tarnix::fileprovider
