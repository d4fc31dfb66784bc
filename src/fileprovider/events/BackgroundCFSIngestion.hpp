#pragma once
// Follows the drive's change feed on the desktop sync back end ("sync-" + the drive's host):
// after the activation precheck, batches of file-system events after the stored snapshot
// revision are fetched in revision order; each batch lists again, forced and with origin
// "red", the folders its events name (a listing is the cloud's word on a folder), then applies
// the batch's deletions and records its last revision in one transaction of the item store.
// A batch whose listings could not all be done is fetched again later, so a change is never
// skipped: the revision only moves once the store has what the batch announced.
//
// When the history is lost (a stored revision of 0, a precheck that says the drive is no
// candidate for the feed, "events expired", or batches that keep failing to decode) the
// snapshot is reset to the cloud's present revision and every folder the store has listed is
// listed again, forced and top down, so that the changes in between are not lost either.
//
// The feed is asked again when the real-time socket announces an event (eventAnnounced), at
// once while the back end says more events wait, and every `pollInterval` otherwise. Failures
// follow the background-call classification (logs, "Retry-After", 401 to the drive's
// authentication-expiry handling) and back off, doubling up to `maximumRetryInterval`.
//
// Threads: every member may be called from any thread; the work runs on the serial queue
// "com.tarnix.BackgroundCFSIngestion" (one step at a time: the actor of this feed). stop()
// returns at once; no callback follows it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"
#include "cloudfs/ResponseValidator.hpp"
#include "cloudfs/responses/EventResponses.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/events/ListingEventTranslation.hpp"
#include "fileprovider/listing/ListingError.hpp"

namespace tarnix::fileprovider {

class BackgroundCFSIngestion : public std::enable_shared_from_this<BackgroundCFSIngestion> {
 public:
  struct Settings {
    /// Events per answer, at most.
    std::int64_t eventBatch = 1000;
    /// The shortest time between two fetches that an announcement asks for.
    std::chrono::milliseconds eventsThrottleInterval{200};
    /// How often the feed is asked when nothing is announced.
    std::chrono::milliseconds pollInterval{std::chrono::seconds(30)};
    /// The first wait after a failure; doubled per failure in a row up to the maximum.
    std::chrono::milliseconds retryInterval{std::chrono::seconds(2)};
    std::chrono::milliseconds maximumRetryInterval{std::chrono::minutes(5)};
    /// Answers in a row that do not decode before the snapshot is reset.
    int decodeFailuresBeforeReset = 3;
  };

  /// Lists a folder again (forced, origin "red"; `refreshLocks`: the lock holders too) and
  /// completes once the listing is written or failed, on any thread.
  using ListFolder =
      std::function<void(const common::SyncFolderIdentifier& folder, bool refreshLocks,
                         std::function<void(ListingResult<void>)> completion)>;

  struct Collaborators {
    std::shared_ptr<cloudfs::CloudFSSession> cfsSession;
    std::shared_ptr<common::SyncItemStorage> itemStorage;
    std::shared_ptr<cloudfs::DriveCloudErrorHandler> errorHandler;
    ListFolder listFolder;
    /// The folders the store has listed, parents first (for a reset).
    std::function<std::vector<common::SyncFolderIdentifier>()> listedFolders;
    /// Told, on the ingestion's queue, when applying a batch changed the store by itself.
    std::function<void()> enumerationSignal;
    /// The drive's root paths on the cloud.
    std::vector<std::string> rootPaths;
    /// Null: the system's.
    std::shared_ptr<base::Clock> clock;
    /// Where the feed's state is written for other processes (none: nowhere).
    std::optional<std::filesystem::path> statusFile;
  };

  /// What `tarnix status` shows.
  struct Status {
    bool active = false;
    bool socketConnected = false;
    std::int64_t snapshotRevision = 0;
    /// The last event id the real-time socket announced (0: none yet).
    std::int64_t lastEventID = 0;
    std::optional<std::string> lastError;
    std::optional<base::Date> lastBatchTime;
    std::int64_t eventsApplied = 0;
    bool importIsComplete = false;
  };

  static std::shared_ptr<BackgroundCFSIngestion> make(Collaborators collaborators,
                                                      Settings settings, base::Logger logger);

  /// Reads the stored snapshot revision and begins with the precheck. Call once.
  void start();
  /// Ends the work; a request in flight is cancelled and its answer ignored. Idempotent.
  void stop();
  /// The real-time socket announced `eventID` (ids at or below the last one are ignored, but
  /// every announcement after a (re)connection asks the feed again).
  void eventAnnounced(std::int64_t eventID);
  void setSocketConnected(bool connected);
  Status status() const;

  /// The state as JSON text, and back (none when the text is not such a state).
  static std::string encode(const Status& status);
  static std::optional<Status> decodeStatus(const std::string& text);

 private:
  BackgroundCFSIngestion(Collaborators collaborators, Settings settings, base::Logger logger);

  // Everything below runs on queue_.
  void precheck(bool resetAfterwards);
  void fetch();
  void received(std::expected<cloudfs::CloudFSResponse, cloudfs::CloudFSSessionError> result);
  void process(std::vector<cloudfs::CFSSyncEvent> events, bool moreEvents);
  void listThen(
      std::vector<std::pair<common::SyncFolderIdentifier, bool>> folders,
      std::function<void(bool complete, std::set<common::SyncFolderIdentifier> listed)> done);
  void resetSnapshot(std::int64_t revision);
  void handleCommunicationError(const std::string& error);
  void handleStatus(const cloudfs::CloudFSResponse& response, std::string_view path,
                    std::function<void()> retry);
  void retryLater(std::function<void()> step);
  void waitForNews();
  void scheduleFetch(std::chrono::milliseconds delay);
  void publish();
  bool stopped() const;

  Collaborators collaborators_;
  Settings settings_;
  base::Logger logger_;
  std::shared_ptr<base::Clock> clock_;
  std::shared_ptr<base::DispatchQueue> queue_;
  std::shared_ptr<cloudfs::ResponseValidator> validator_;

  // Touched on queue_ only.
  std::int64_t snapshotRevision_ = 0;
  std::int64_t headRevision_ = 0;
  bool snapshotReset_ = false;
  std::int64_t batchID_ = 0;
  int failuresInRow_ = 0;
  int decodeFailuresInRow_ = 0;
  /// A fetch is under way (request, listings or apply); announcements wait for its end.
  bool busy_ = false;
  /// Something was announced while busy: fetch again at the end.
  bool newsWhileBusy_ = false;
  /// Folders of a reset not listed yet (listed before anything else).
  std::vector<common::SyncFolderIdentifier> pendingRelist_;
  std::shared_ptr<base::DispatchWorkItem> timer_;
  cloudfs::CloudFSSessionTask inFlight_;

  mutable base::Mutex mutex_;
  Status status_ TARNIX_GUARDED_BY(mutex_);
  bool stopped_ TARNIX_GUARDED_BY(mutex_) = false;
};

}  // namespace tarnix::fileprovider
