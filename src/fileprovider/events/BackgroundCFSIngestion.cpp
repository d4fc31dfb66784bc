#include "fileprovider/events/BackgroundCFSIngestion.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "base/JSONValue.hpp"
#include "base/PrivateFiles.hpp"
#include "cloudfs/requests/EventRequests.hpp"
#include "cloudfs/requests/ServiceRequests.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"

namespace tarnix::fileprovider {

using std::chrono::milliseconds;

namespace {

constexpr int kStatusOK = 200;
/// The back end no longer holds the history after the revision asked for.
constexpr int kStatusGone = 410;

/// Whether a listing that failed this way has nonetheless settled the folder: it is gone, or
/// not ours to see. Anything else (the network, the server) is worth another try.
bool settles(const ListingError& error) {
  const auto* sync = error.syncError();
  if (!sync) return false;
  using Code = common::SyncError::Code;
  switch (sync->code()) {
    case Code::noSuchItem:
    case Code::pathNotFound:
    case Code::permissionDenied:
    case Code::invalidFilePath:
    case Code::offlineItemBroken:
    case Code::noCloudIdentifier:
      return true;
    default:
      return false;
  }
}

common::ItemStoreEvent storeEvent(const cloudfs::CFSSyncEvent& event) {
  return {event.revision, event.action.rawValue, event.sourceFilePath, event.targetFilePath};
}

/// Writes `text` to `file` through a neighbouring temporary file, so readers see the whole.
void writeWhole(const std::filesystem::path& file, const std::string& text) {
  auto temporary = file;
  temporary += ".new";
  const int fd = base::openPrivateFile(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return;
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  std::error_code ec;
  if (written) std::filesystem::rename(temporary, file, ec);
  if (!written || ec) std::filesystem::remove(temporary, ec);
}

}  // namespace

std::shared_ptr<BackgroundCFSIngestion> BackgroundCFSIngestion::make(Collaborators collaborators,
                                                                     Settings settings,
                                                                     base::Logger logger) {
  return std::shared_ptr<BackgroundCFSIngestion>(
      new BackgroundCFSIngestion(std::move(collaborators), settings, std::move(logger)));
}

BackgroundCFSIngestion::BackgroundCFSIngestion(Collaborators collaborators, Settings settings,
                                               base::Logger logger)
    : collaborators_(std::move(collaborators)),
      settings_(settings),
      logger_(std::move(logger)),
      clock_(collaborators_.clock ? collaborators_.clock : base::Clock::system()),
      queue_(base::DispatchQueue::make("com.tarnix.BackgroundCFSIngestion", clock_)) {
  validator_ = std::make_shared<cloudfs::ResponseValidator>(
      logger_, collaborators_.errorHandler,
      std::make_shared<cloudfs::DispatchBackoffScheduler>(queue_), clock_);
  settings_.eventBatch = std::clamp<std::int64_t>(settings_.eventBatch, 1, 10'000);
  settings_.decodeFailuresBeforeReset = std::max(1, settings_.decodeFailuresBeforeReset);
}

bool BackgroundCFSIngestion::stopped() const {
  base::MutexLock lock(mutex_);
  return stopped_;
}

void BackgroundCFSIngestion::start() {
  queue_->async([self = shared_from_this()] {
    if (self->stopped()) return;
    self->snapshotRevision_ = self->collaborators_.itemStorage->snapshotRevision();
    self->headRevision_ = self->snapshotRevision_;
    self->snapshotReset_ = self->snapshotRevision_ == 0;
    {
      base::MutexLock lock(self->mutex_);
      self->status_.active = true;
      self->status_.snapshotRevision = self->snapshotRevision_;
    }
    self->publish();
    self->busy_ = true;
    self->precheck(self->snapshotReset_);
  });
}

void BackgroundCFSIngestion::stop() {
  {
    base::MutexLock lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    status_.active = false;
  }
  queue_->async([self = shared_from_this()] {
    if (self->timer_) self->timer_->cancel();
    self->inFlight_.cancel();
    self->publish();
  });
}

void BackgroundCFSIngestion::eventAnnounced(std::int64_t eventID) {
  queue_->async([self = shared_from_this(), eventID] {
    if (self->stopped()) return;
    {
      base::MutexLock lock(self->mutex_);
      if (eventID <= self->status_.lastEventID && eventID != 0) return;
      self->status_.lastEventID = std::max(self->status_.lastEventID, eventID);
    }
    if (self->busy_) {
      self->newsWhileBusy_ = true;
      return;
    }
    self->scheduleFetch(self->settings_.eventsThrottleInterval);
  });
}

void BackgroundCFSIngestion::setSocketConnected(bool connected) {
  {
    base::MutexLock lock(mutex_);
    if (status_.socketConnected == connected) return;
    status_.socketConnected = connected;
    // After a (re)connection the first announcement is the socket's present id: whatever
    // happened while it was down is fetched then.
    if (connected) status_.lastEventID = 0;
  }
  queue_->async([self = shared_from_this()] { self->publish(); });
}

BackgroundCFSIngestion::Status BackgroundCFSIngestion::status() const {
  base::MutexLock lock(mutex_);
  return status_;
}

void BackgroundCFSIngestion::precheck(bool resetAfterwards) {
  cloudfs::IfflPrecheckRequest request(collaborators_.rootPaths);
  inFlight_ = collaborators_.cfsSession->send(
      request, cloudfs::TarnixURLRequestOptions::none(),
      [self = shared_from_this(), resetAfterwards](auto result) {
        self->queue_->async([self, resetAfterwards, result = std::move(result)] {
          if (self->stopped()) return;
          self->inFlight_ = {};
          auto again = [self, resetAfterwards] { self->precheck(resetAfterwards); };
          if (!result)
            return self->handleCommunicationError(cloudfs::describe(result.error())),
                   self->retryLater(again);
          if (result->httpResponse.statusCode != kStatusOK) {
            return self->handleStatus(*result, "/v5/iffl/precheck", again);
          }
          auto answer = cloudfs::IfflPrecheckResponse::decode(*result);
          if (!answer) {
            self->handleCommunicationError(answer.error().description());
            return self->retryLater(again);
          }
          self->failuresInRow_ = 0;
          if (!answer->ifflCandidate || resetAfterwards) {
            self->resetSnapshot(answer->globalRevision);
          }
          self->fetch();
        });
      });
}

void BackgroundCFSIngestion::resetSnapshot(std::int64_t revision) {
  snapshotRevision_ = revision;
  headRevision_ = revision;
  snapshotReset_ = false;
  decodeFailuresInRow_ = 0;
  logger_.info("CFS Snapshot Reset", {{"revision", revision}});
  // What happened before `revision` is no longer told event by event: every folder the store
  // has listed is listed again before the synthetic event carries the revision into the store.
  if (collaborators_.listedFolders) pendingRelist_ = collaborators_.listedFolders();
}

void BackgroundCFSIngestion::fetch() {
  busy_ = true;
  newsWhileBusy_ = false;
  if (!pendingRelist_.empty()) {
    std::vector<std::pair<common::SyncFolderIdentifier, bool>> folders;
    for (const auto& folder : pendingRelist_) folders.emplace_back(folder, true);
    return listThen(std::move(folders), [self = shared_from_this()](bool complete, auto) {
      if (!complete) return self->retryLater([self] { self->fetch(); });
      self->pendingRelist_.clear();
      // The synthetic event carries the reset revision into the store.
      self->process({cloudfs::CFSSyncEvent::syntheticNop(self->snapshotRevision_)}, true);
    });
  }
  cloudfs::GetEventsRequest request;
  request.folders = collaborators_.rootPaths;
  request.revision = snapshotRevision_;
  request.headRevision = headRevision_;
  request.eventBatch = settings_.eventBatch;
  request.batchID = ++batchID_;
  request.force = false;
  inFlight_ = collaborators_.cfsSession->send(
      request, cloudfs::TarnixURLRequestOptions::none(), [self = shared_from_this()](auto result) {
        self->queue_->async([self, result = std::move(result)]() mutable {
          if (self->stopped()) return;
          self->inFlight_ = {};
          self->received(std::move(result));
        });
      });
}

void BackgroundCFSIngestion::received(
    std::expected<cloudfs::CloudFSResponse, cloudfs::CloudFSSessionError> result) {
  auto again = [self = shared_from_this()] { self->fetch(); };
  if (!result) {
    handleCommunicationError(cloudfs::describe(result.error()));
    return retryLater(again);
  }
  if (result->httpResponse.statusCode == kStatusGone) {
    logger_.info("CFS events expired", {{"revision", snapshotRevision_}});
    return precheck(true);
  }
  if (result->httpResponse.statusCode != kStatusOK) {
    return handleStatus(*result, "/v5/get_events", again);
  }
  auto batch = cloudfs::GetEventsResponse::decode(*result);
  if (!batch) {
    ++decodeFailuresInRow_;
    logger_.error("Background CFS ingestion failure",
                  {{"error", batch.error().description()}, {"attempt", decodeFailuresInRow_}});
    {
      base::MutexLock lock(mutex_);
      status_.lastError = "undecodable event batch: " + batch.error().description();
    }
    publish();
    if (decodeFailuresInRow_ >= settings_.decodeFailuresBeforeReset) {
      logger_.info("CFS events expired", {{"reason", "undecodable batches"}});
      return precheck(true);
    }
    return retryLater(again);
  }
  decodeFailuresInRow_ = 0;
  failuresInRow_ = 0;
  // Only what lies after the revision we hold, in revision order.
  auto& events = batch->events;
  std::erase_if(events, [&](const auto& e) { return e.revision <= snapshotRevision_; });
  std::ranges::stable_sort(events, {}, &cloudfs::CFSSyncEvent::revision);
  if (events.empty()) {
    bool first = false;
    {
      base::MutexLock lock(mutex_);
      first = !status_.importIsComplete;
      status_.importIsComplete = true;
      status_.lastError.reset();
    }
    if (first) publish();
    if (batch->moreEvents) {
      // More announced but nothing after our revision: ask from the head instead of spinning.
      logger_.warning("CFS answered no usable events", {{"revision", snapshotRevision_}});
      return retryLater(again);
    }
    return waitForNews();
  }
  process(std::move(events), batch->moreEvents);
}

void BackgroundCFSIngestion::process(std::vector<cloudfs::CFSSyncEvent> events, bool moreEvents) {
  logger_.debug("Processing CFS Events", {{"eventCount", events.size()}});
  ListingEventTranslation translation(collaborators_.itemStorage,
                                      collaborators_.itemStorage->cloudStartPath());
  auto translated = translation.translate(events);
  const auto toList = translated.foldersToList();
  std::vector<std::pair<common::SyncFolderIdentifier, bool>> folders(toList.begin(), toList.end());
  listThen(std::move(folders), [self = shared_from_this(), events = std::move(events), translated,
                                moreEvents](bool complete, auto listed) {
    if (!complete) return self->retryLater([self] { self->fetch(); });
    std::vector<common::ItemStoreEvent> storeEvents;
    storeEvents.reserve(events.size());
    for (const auto& event : events) storeEvents.push_back(storeEvent(event));
    const auto last = events.back().revision;
    auto applied = self->collaborators_.itemStorage->apply(storeEvents, last, listed);
    if (!applied) {
      self->logger_.error("Background CFS ingestion failure",
                          {{"error", applied.error().description()}});
      return self->retryLater([self] { self->fetch(); });
    }
    self->snapshotRevision_ = last;
    self->headRevision_ = std::max(self->headRevision_, last);
    self->logger_.debug(
        "Processing CFS Events Done",
        {{"eventCount", events.size()},
         {"skippedEvents", translated.skippedEvents},
         {"eventsWithUndiscoveredLocations", translated.eventsWithUndiscoveredLocations}});
    if (applied->deletedItems > 0) {
      self->logger_.info("Background ingestion did delete or create items",
                         {{"deletedItems", applied->deletedItems}});
      if (self->collaborators_.enumerationSignal) self->collaborators_.enumerationSignal();
    }
    {
      base::MutexLock lock(self->mutex_);
      self->status_.snapshotRevision = last;
      self->status_.lastBatchTime = self->clock_->now();
      self->status_.eventsApplied += static_cast<std::int64_t>(events.size());
      self->status_.lastError.reset();
    }
    self->publish();
    if (moreEvents) return self->fetch();
    if (self->newsWhileBusy_) {
      self->busy_ = false;
      return self->scheduleFetch(self->settings_.eventsThrottleInterval);
    }
    self->waitForNews();
  });
}

void BackgroundCFSIngestion::listThen(
    std::vector<std::pair<common::SyncFolderIdentifier, bool>> folders,
    std::function<void(bool complete, std::set<common::SyncFolderIdentifier> listed)> done) {
  if (folders.empty() || !collaborators_.listFolder) return done(true, {});
  struct Progress {
    std::size_t left = 0;
    bool complete = true;
    std::vector<common::SyncFolderIdentifier> failed;
    std::set<common::SyncFolderIdentifier> listed;
  };
  auto progress = std::make_shared<Progress>();
  progress->left = folders.size();
  for (const auto& [folder, refreshLocks] : folders) {
    collaborators_.listFolder(
        folder, refreshLocks,
        [self = shared_from_this(), progress, folder, done](ListingResult<void> result) {
          self->queue_->async([self, progress, folder, done, result = std::move(result)] {
            if (self->stopped()) return;
            if (!result && !settles(result.error())) {
              progress->complete = false;
              progress->failed.push_back(folder);
              self->logger_.warning(
                  "Listing a changed folder failed",
                  {{"itemID", folder.description()}, {"error", result.error().description()}});
            }
            if (result) progress->listed.insert(folder);
            if (--progress->left > 0) return;
            // A reset keeps the folders still to be listed; the others come back with the
            // batch, which is fetched again.
            if (!self->pendingRelist_.empty() && !progress->complete) {
              self->pendingRelist_ = progress->failed;
            }
            done(progress->complete, std::move(progress->listed));
          });
        });
  }
}

void BackgroundCFSIngestion::handleCommunicationError(const std::string& error) {
  logger_.error("Could not communicate with CFS", {{"error", error}});
  {
    base::MutexLock lock(mutex_);
    status_.lastError = error;
  }
  publish();
}

void BackgroundCFSIngestion::handleStatus(const cloudfs::CloudFSResponse& response,
                                          std::string_view path, std::function<void()> retry) {
  {
    base::MutexLock lock(mutex_);
    status_.lastError =
        "HTTP " + std::to_string(response.httpResponse.statusCode) + " from " + std::string(path);
  }
  publish();
  validator_->validateResponse(response.httpResponse, path,
                               [self = shared_from_this(), retry = std::move(retry)](auto outcome) {
                                 // The validator completes on the ingestion's queue (its back-off
                                 // waits there too).
                                 if (self->stopped()) return;
                                 if (outcome) {
                                   // Throttled and waited out, or a status that lets the caller go
                                   // on.
                                   return retry();
                                 }
                                 self->logger_.error("Background CFS ingestion failure",
                                                     {{"error", outcome.error().description()}});
                                 self->retryLater(retry);
                               });
}

void BackgroundCFSIngestion::retryLater(std::function<void()> step) {
  busy_ = true;
  const auto exponent = std::min(failuresInRow_, 16);
  ++failuresInRow_;
  auto delay = settings_.retryInterval * (1LL << exponent);
  delay = std::min<milliseconds>(delay, settings_.maximumRetryInterval);
  if (timer_) timer_->cancel();
  timer_ = queue_->asyncAfter(delay, [self = shared_from_this(), step = std::move(step)] {
    if (!self->stopped()) step();
  });
}

void BackgroundCFSIngestion::waitForNews() {
  busy_ = false;
  scheduleFetch(settings_.pollInterval);
}

void BackgroundCFSIngestion::scheduleFetch(milliseconds delay) {
  if (timer_) timer_->cancel();
  timer_ = queue_->asyncAfter(delay, [self = shared_from_this()] {
    if (self->stopped() || self->busy_) return;
    self->fetch();
  });
}

void BackgroundCFSIngestion::publish() {
  if (!collaborators_.statusFile) return;
  writeWhole(*collaborators_.statusFile, encode(status()));
}

std::string BackgroundCFSIngestion::encode(const Status& status) {
  base::JSONValue json = {{"active", status.active},
                          {"socketConnected", status.socketConnected},
                          {"snapshotRevision", status.snapshotRevision},
                          {"lastEventID", status.lastEventID},
                          {"eventsApplied", status.eventsApplied},
                          {"importIsComplete", status.importIsComplete},
                          {"processIdentifier", static_cast<std::int64_t>(::getpid())}};
  if (status.lastError) json["lastError"] = *status.lastError;
  if (status.lastBatchTime) json["lastBatchTime"] = base::formatISO8601(*status.lastBatchTime);
  return base::dumpJSON(json);
}

std::optional<BackgroundCFSIngestion::Status> BackgroundCFSIngestion::decodeStatus(
    const std::string& text) {
  auto json = base::parseJSON(text);
  if (!json || !json->is_object()) return std::nullopt;
  Status status;
  auto active = base::jsonBool(*json, "active");
  auto revision = base::jsonInt(*json, "snapshotRevision");
  if (!active || !revision) return std::nullopt;
  status.active = *active;
  status.snapshotRevision = *revision;
  status.socketConnected = base::jsonBool(*json, "socketConnected").value_or(false);
  status.lastEventID = base::jsonInt(*json, "lastEventID").value_or(0);
  status.eventsApplied = base::jsonInt(*json, "eventsApplied").value_or(0);
  status.importIsComplete = base::jsonBool(*json, "importIsComplete").value_or(false);
  status.lastError = base::jsonString(*json, "lastError");
  if (auto time = base::jsonString(*json, "lastBatchTime")) {
    status.lastBatchTime = base::parseISO8601(*time);
  }
  return status;
}

}  // namespace tarnix::fileprovider
