// The provider's part in following the cloud's changes: the change feed lists changed folders
// through the listing scheduler, and every change it brings is told to the other processes.
#include "fileprovider/Provider.hpp"

#include <algorithm>

#include "cloudfs/URLSessionSocket.hpp"
#include "cloudfs/requests/ServiceRequests.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"

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
  auto session = feed.cfsSession;
  backgroundCFSIngestion_ =
      BackgroundCFSIngestion::make(std::move(feed), {}, logger_.child("BackgroundCFSIngestion"));

  // The real-time socket says when the feed has news; without it the feed is polled.
  auto socketLogger = logger_.child("REDSocket");
  redSocket_ = REDSocket::make(
      session, std::make_shared<cloudfs::WebSocketFactory>(session, featureList_, socketLogger),
      socketLogger, clock_);
  redSubscription_ =
      redSocket_->subscribe([ingestion = std::weak_ptr(backgroundCFSIngestion_),
                             errorHandler = cloud_.cloudErrorHandler](const REDSocketEvent& event) {
        auto feed = ingestion.lock();
        if (!feed) return;
        switch (event.kind) {
          case REDSocketEvent::Kind::didConnect:
            feed->setSocketConnected(true);
            break;
          case REDSocketEvent::Kind::didDisconnect:
            feed->setSocketConnected(false);
            break;
          case REDSocketEvent::Kind::didReceive:
            feed->eventAnnounced(event.eventID);
            break;
          case REDSocketEvent::Kind::didFailAuthentication:
            feed->setSocketConnected(false);
            if (errorHandler) errorHandler->authenticationDidExpire();
            break;
          case REDSocketEvent::Kind::didDownload:
          case REDSocketEvent::Kind::didFailToDownloadEvents:
            break;
        }
      });
  redSocket_->setConnectionEnabled(true);
  redSocket_->start();
  backgroundCFSIngestion_->start();
  discoverEventsServer(std::move(session), 0);
}

void Provider::discoverEventsServer(std::shared_ptr<cloudfs::CloudFSSession> session, int attempt) {
  // Owned by the session's task until the answer comes; the provider is reached weakly.
  session->send(
      cloudfs::ServiceDiscoveryRequest(), cloudfs::TarnixURLRequestOptions::none(),
      [weak = weak_from_this(), session,
       attempt](std::expected<cloudfs::CloudFSResponse, cloudfs::CloudFSSessionError> result) {
        auto self = weak.lock();
        if (!self || !self->redSocket_) return;
        std::string failure;
        if (!result) {
          if (cloudfs::isCancellation(result.error())) return;
          failure = cloudfs::describe(result.error());
        } else if (result->httpResponse.statusCode != 200) {
          failure = "HTTP " + std::to_string(result->httpResponse.statusCode);
        } else if (auto decoded = cloudfs::ServiceDiscoveryResponse::decode(*result); !decoded) {
          failure = decoded.error().description();
        } else if (!decoded->eventsServer) {
          failure = "no events server named";
        } else {
          self->logger_.info("Events server discovered", {{"host", *decoded->eventsServer}});
          self->redSocket_->setEventsServer(decoded->eventsServer);
          return;
        }
        // Ask again later: 30 s, doubling, at most an hour.
        const auto delay = std::chrono::seconds(30) * (1 << std::min(attempt, 7));
        self->logger_.warning(
            "Service discovery failed; the change feed is polled meanwhile",
            {{"error", failure},
             {"retryInSeconds", std::to_string(std::min<long>(delay.count(), 3600))}});
        std::lock_guard lock(self->discoveryMutex_);
        if (self->invalidated_) return;
        self->discoveryRetry_ =
            self->clock_->after(std::min<base::Clock::Duration>(delay, std::chrono::hours(1)),
                                [weak, session, attempt] {
                                  if (auto provider = weak.lock())
                                    provider->discoverEventsServer(session, attempt + 1);
                                });
      });
}

}  // namespace tarnix::fileprovider
