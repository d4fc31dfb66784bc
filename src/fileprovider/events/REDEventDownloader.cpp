#include "fileprovider/events/REDEventDownloader.hpp"

#include <algorithm>

#include "cloudfs/requests/EventRequests.hpp"

namespace tarnix::fileprovider {

// --- batches ---

REDEventBatchGenerator::REDEventBatchGenerator(std::int64_t totalUnusbscribedEventsLimit,
                                               std::int64_t unsubscribedEventsInRowLimit)
    : totalUnusbscribedEventsLimit_(std::max<std::int64_t>(1, totalUnusbscribedEventsLimit)),
      unsubscribedEventsInRowLimit_(std::max<std::int64_t>(1, unsubscribedEventsInRowLimit)) {}

std::vector<REDEventBatch> REDEventBatchGenerator::add(const REDIncomingMessage& message) {
  std::vector<REDEventBatch> closed;
  const std::int64_t id = message.eventID;
  if (message.kind == REDIncomingMessage::Kind::initial) {
    // Events that came while we were away; a server that starts lower is believed.
    if (lastEventID_ && id > *lastEventID_) cover(*lastEventID_ + 1, id, closed);
    lastEventID_ = id;
    return closed;
  }
  if (!lastEventID_) {
    cover(id, id, closed);
  } else if (id > *lastEventID_) {
    cover(*lastEventID_ + 1, id, closed);
  } else {
    return closed;
  }
  lastEventID_ = id;
  return closed;
}

void REDEventBatchGenerator::cover(std::int64_t from, std::int64_t to,
                                   std::vector<REDEventBatch>& closed) {
  const auto count = static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from) + 1;
  const auto limit = static_cast<std::uint64_t>(totalUnusbscribedEventsLimit_);
  if (count > limit) {
    totalUnsubscribedEventsCounter_ += static_cast<std::int64_t>(count - limit);
    from = to - totalUnusbscribedEventsLimit_ + 1;
  }
  for (;;) {
    if (currentBatch_ && currentBatch_->maxEventID + 1 != from) {
      closed.push_back(*currentBatch_);
      currentBatch_.reset();
    }
    if (!currentBatch_) currentBatch_ = REDEventBatch{from, from - 1};
    const std::int64_t size = currentBatch_->maxEventID - currentBatch_->minEventID + 1;
    const std::int64_t take = std::min(unsubscribedEventsInRowLimit_ - size, to - from + 1);
    currentBatch_->maxEventID = from + (take - 1);
    const bool done = currentBatch_->maxEventID == to;
    if (size + take == unsubscribedEventsInRowLimit_) {
      closed.push_back(*currentBatch_);
      currentBatch_.reset();
    }
    if (done) return;
    from += take;
  }
}

std::optional<REDEventBatch> REDEventBatchGenerator::close() {
  return std::exchange(currentBatch_, std::nullopt);
}

// --- foreground downloads ---

ForegroundREDEventDownloader::ForegroundREDEventDownloader(
    std::shared_ptr<cloudfs::CloudFSSession> cfsSession,
    std::shared_ptr<base::DispatchQueue> socketQueue, std::shared_ptr<base::Clock> clock,
    base::Logger logger, REDEventDownloadSettings settings)
    : cfsSession_(std::move(cfsSession)),
      socketQueue_(std::move(socketQueue)),
      clock_(clock ? std::move(clock) : base::Clock::system()),
      logger_(std::move(logger)),
      settings_(std::move(settings)),
      batchGenerator_(settings_.totalUnusbscribedEventsLimit,
                      settings_.unsubscribedEventsInRowLimit) {}

void ForegroundREDEventDownloader::didReceive(const REDIncomingMessage& message) {
  if (stopped_) return;
  const auto skippedBefore = batchGenerator_.totalUnsubscribedEventsCounter();
  for (auto& batch : batchGenerator_.add(message)) pendingBatches_.push_back(batch);
  if (auto skipped = batchGenerator_.totalUnsubscribedEventsCounter() - skippedBefore; skipped > 0)
    logger_.warning("Skipping RED events beyond the download limit",
                    base::LoggerMetadata{{"skipped", skipped}});
  if (batchGenerator_.currentBatch() && !batchExpirationTimer_) {
    batchExpirationTimer_ =
        clock_->after(settings_.batchInterval, [weak = weak_from_this(), queue = socketQueue_] {
          queue->async([weak] {
            if (auto self = weak.lock()) self->batchExpired();
          });
        });
  }
  fetchNext();
}

void ForegroundREDEventDownloader::batchExpired() {
  batchExpirationTimer_.reset();
  if (stopped_) return;
  if (auto batch = batchGenerator_.close()) pendingBatches_.push_back(*batch);
  fetchNext();
}

void ForegroundREDEventDownloader::fetchNext() {
  if (stopped_ || fetchTask_ || pendingBatches_.empty()) return;
  const REDEventBatch batch = pendingBatches_.front();
  pendingBatches_.pop_front();
  auto request =
      cloudfs::EventsRequest::make(batch.minEventID, batch.maxEventID, settings_.workgroupID);
  if (!request) {
    if (publish_)
      publish_(REDSocketEvent::didFailToDownloadEvents("The event range cannot be requested"));
    return fetchNext();
  }
  fetchTask_ =
      cfsSession_->send(*request, cloudfs::TarnixURLRequestOptions::none(),
                        [weak = weak_from_this(), queue = socketQueue_, batch](auto result) {
                          queue->async([weak, batch, result = std::move(result)]() mutable {
                            if (auto self = weak.lock()) self->fetched(batch, std::move(result));
                          });
                        });
}

void ForegroundREDEventDownloader::fetched(
    const REDEventBatch& batch,
    std::expected<cloudfs::CloudFSResponse, cloudfs::CloudFSSessionError> result) {
  fetchTask_.reset();
  if (stopped_) return;
  auto fail = [&](std::string error) {
    logger_.error(
        "Downloading RED events failed",
        base::LoggerMetadata{
            {"minEventID", batch.minEventID}, {"maxEventID", batch.maxEventID}, {"error", error}});
    if (publish_) publish_(REDSocketEvent::didFailToDownloadEvents(std::move(error)));
  };
  if (!result) {
    fail(cloudfs::describe(result.error()));
  } else if (result->httpResponse.statusCode / 100 != 2) {
    fail("HTTP status " + std::to_string(result->httpResponse.statusCode));
  } else if (auto decoded = cloudfs::EventsResponse::decode(*result); !decoded) {
    fail(decoded.error().description());
  } else {
    std::vector<REDEvent> events;
    for (const auto& event : decoded->events) {
      if (event.eventID < batch.minEventID || event.eventID > batch.maxEventID) continue;
      auto red = REDEvent::decode(event);
      if (!red) {
        logger_.warning("Skipping RED event that cannot be decoded",
                        base::LoggerMetadata{{"eventID", event.eventID}, {"error", red.error()}});
        continue;
      }
      events.push_back(std::move(*red));
    }
    if (publish_) publish_(REDSocketEvent::didDownload(std::move(events)));
  }
  fetchNext();
}

void ForegroundREDEventDownloader::stop() {
  stopped_ = true;
  if (batchExpirationTimer_) batchExpirationTimer_->cancel();
  if (fetchTask_) fetchTask_->cancel();
  fetchTask_.reset();
  pendingBatches_.clear();
  publish_ = {};
}

}  // namespace tarnix::fileprovider
