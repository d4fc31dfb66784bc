// The provider's part in following the cloud's changes: the change feed lists changed folders
// through the listing scheduler, and every change it brings is told to the other processes.
#include "fileprovider/Provider.hpp"

#include <algorithm>

namespace tarnix::fileprovider {

namespace {

/// Whether the drive's host (with or without a port) is an address rather than a name: the
/// sync back end's name, "sync-" + the host, then names nothing.
bool isAddress(std::string_view domain) {
  if (domain.starts_with('[')) return true;
  const auto host = domain.substr(0, domain.find(':'));
  return !host.empty() &&
         std::ranges::all_of(host, [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

}  // namespace

void Provider::startEventFeed(const std::filesystem::path& driveDirectory,
                              std::shared_ptr<EventBroker> broker) {
  if (isAddress(drive_.domain)) {
    logger_.info("Change feed not followed: the drive's host is an address",
                 {{"host", drive_.domain}});
    return;
  }
  BackgroundCFSIngestion::Collaborators feed;
  feed.cfsSession = cloud_.cfsSessionFactory->makeSession(drive_);
  feed.itemStorage = itemStorage_;
  feed.errorHandler = cloud_.cloudErrorHandler;
  feed.clock = clock_;
  feed.rootPaths = {drive_.cloudStartPath};
  feed.statusFile = eventFeedStatusFile(driveDirectory);
  std::weak_ptr<ListingScheduler> scheduler = listingScheduler_;
  std::weak_ptr<Provider> weak = weak_from_this();
  feed.listFolder = [scheduler, metadata = listingMetadataStorage_, itemStorage = itemStorage_,
                     broker, drive = drive_.identifier](
                        const common::SyncFolderIdentifier& folder, bool refreshLocks,
                        std::function<void(ListingResult<void>)> completion) {
    // A folder never listed shows the change whenever it is first listed.
    if (auto listed = metadata->metadata(folder); listed && !*listed) return completion({});
    auto listings = scheduler.lock();
    if (!listings) return completion(std::unexpected(ListingUnavailable{}));
    listings->triggerListing(
        common::SyncItemIdentifier(folder), ListingOrigin::red, true, refreshLocks,
        [completion = std::move(completion), itemStorage, broker, drive,
         folder](ListingResult<void> result) {
          if (result && broker) {
            if (auto path = itemStorage->queryCloudPath(common::SyncItemIdentifier(folder))) {
              broker->post(PathUpdatedInfo::kEventName, PathUpdatedInfo{*path, drive}.toJSON());
            }
          }
          completion(std::move(result));
        });
  };
  feed.listedFolders = [metadata = listingMetadataStorage_, logger = logger_] {
    auto folders = metadata->listedFolders();
    if (!folders) {
      logger.error("Reading listed folders failed", {{"error", folders.error().description()}});
      return std::vector<common::SyncFolderIdentifier>{};
    }
    return std::move(*folders);
  };
  feed.enumerationSignal = [weak] {
    if (auto self = weak.lock()) self->signalWorkingSet();
  };
  backgroundCFSIngestion_ =
      BackgroundCFSIngestion::make(std::move(feed), {}, logger_.child("BackgroundCFSIngestion"));
  backgroundCFSIngestion_->start();
}

}  // namespace tarnix::fileprovider
