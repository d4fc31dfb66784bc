#pragma once
// What the real-time event socket publishes, and the downloaders that turn announced event ids
// into fetched events.
//
// REDEventBatchGenerator groups announced ids into ranges (plain values, no I/O).
// ForegroundREDEventDownloader closes the open range `batchInterval` after its first id and
// fetches closed ranges one at a time through the public events request, publishing
// `didDownload` or `didFailToDownloadEvents`. NullREDEventDownloader downloads nothing, for an
// owner that only needs to know that events exist.
//
// Threads: a downloader is called on its socket's queue and publishes there.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "fileprovider/events/REDEvent.hpp"

namespace tarnix::fileprovider {

struct REDSocketEvent {
  enum class Kind {
    didReceive,               // `eventID` (`initial`: the id announced on connecting)
    didDownload,              // `events`
    didFailToDownloadEvents,  // `error`
    didConnect,
    didDisconnect,
    didFailAuthentication,  // `httpStatus` (401 or 403): no reconnect until enabled again
  };
  Kind kind = Kind::didConnect;
  std::int64_t eventID = 0;
  bool initial = false;
  std::vector<REDEvent> events;
  std::string error;
  int httpStatus = 0;

  static REDSocketEvent didReceive(std::int64_t eventID, bool initial) {
    REDSocketEvent event;
    event.kind = Kind::didReceive;
    event.eventID = eventID;
    event.initial = initial;
    return event;
  }
  static REDSocketEvent didDownload(std::vector<REDEvent> events) {
    REDSocketEvent event;
    event.kind = Kind::didDownload;
    event.events = std::move(events);
    return event;
  }
  static REDSocketEvent didFailToDownloadEvents(std::string error) {
    REDSocketEvent event;
    event.kind = Kind::didFailToDownloadEvents;
    event.error = std::move(error);
    return event;
  }
  static REDSocketEvent didFailAuthentication(int httpStatus) {
    REDSocketEvent event;
    event.kind = Kind::didFailAuthentication;
    event.httpStatus = httpStatus;
    return event;
  }
  static REDSocketEvent simple(Kind kind) {
    REDSocketEvent event;
    event.kind = kind;
    return event;
  }
  bool operator==(const REDSocketEvent&) const = default;
};

class REDEventDownloader {
 public:
  using Publish = std::function<void(REDSocketEvent)>;
  virtual ~REDEventDownloader() = default;
  /// Where downloads go; set by the socket before the first message.
  virtual void setPublisher(Publish publish) = 0;
  /// A message the socket accepted (ids at or below the last one are filtered out already).
  virtual void didReceive(const REDIncomingMessage& message) = 0;
  /// Cancels timers and the fetch in flight; nothing is published afterwards.
  virtual void stop() = 0;
};

class NullREDEventDownloader final : public REDEventDownloader {
 public:
  void setPublisher(Publish) override {}
  void didReceive(const REDIncomingMessage&) override {}
  void stop() override {}
};

struct REDEventDownloadSettings {
  std::string workgroupID;
  /// How long a range stays open for further ids before it is fetched.
  base::Clock::Duration batchInterval = std::chrono::seconds(1);
  /// The most ids fetched for one gap (a long disconnection); older ones are skipped.
  std::int64_t totalUnusbscribedEventsLimit = 10'000;
  /// The most ids in one range (one events request).
  std::int64_t unsubscribedEventsInRowLimit = 500;
};

struct REDEventBatch {
  std::int64_t minEventID = 0;
  std::int64_t maxEventID = 0;
  bool operator==(const REDEventBatch&) const = default;
};

class REDEventBatchGenerator {
 public:
  REDEventBatchGenerator(std::int64_t totalUnusbscribedEventsLimit,
                         std::int64_t unsubscribedEventsInRowLimit);

  /// Takes a message; returns the ranges it filled up (closed). An initial message only sets
  /// the baseline, except after an earlier baseline, when the ids between are fetched too.
  std::vector<REDEventBatch> add(const REDIncomingMessage& message);
  /// Closes the open range, if any.
  std::optional<REDEventBatch> close();

  const std::optional<REDEventBatch>& currentBatch() const { return currentBatch_; }
  /// Ids skipped because a gap was longer than the total limit.
  std::int64_t totalUnsubscribedEventsCounter() const { return totalUnsubscribedEventsCounter_; }

 private:
  void cover(std::int64_t from, std::int64_t to, std::vector<REDEventBatch>& closed);

  std::optional<REDEventBatch> currentBatch_;
  std::optional<std::int64_t> lastEventID_;
  std::int64_t totalUnsubscribedEventsCounter_ = 0;
  std::int64_t totalUnusbscribedEventsLimit_;
  std::int64_t unsubscribedEventsInRowLimit_;
};

class ForegroundREDEventDownloader final
    : public REDEventDownloader,
      public std::enable_shared_from_this<ForegroundREDEventDownloader> {
 public:
  ForegroundREDEventDownloader(std::shared_ptr<cloudfs::CloudFSSession> cfsSession,
                               std::shared_ptr<base::DispatchQueue> socketQueue,
                               std::shared_ptr<base::Clock> clock, base::Logger logger,
                               REDEventDownloadSettings settings = {});

  void setPublisher(Publish publish) override { publish_ = std::move(publish); }
  void didReceive(const REDIncomingMessage& message) override;
  void stop() override;

 private:
  void batchExpired();
  void fetchNext();
  void fetched(const REDEventBatch& batch,
               std::expected<cloudfs::CloudFSResponse, cloudfs::CloudFSSessionError> result);

  std::shared_ptr<cloudfs::CloudFSSession> cfsSession_;
  std::shared_ptr<base::DispatchQueue> socketQueue_;
  std::shared_ptr<base::Clock> clock_;
  base::Logger logger_;
  REDEventDownloadSettings settings_;
  REDEventBatchGenerator batchGenerator_;
  std::deque<REDEventBatch> pendingBatches_;
  std::optional<cloudfs::CloudFSSessionTask> fetchTask_;
  std::shared_ptr<base::DispatchWorkItem> batchExpirationTimer_;
  Publish publish_;
  bool stopped_ = false;
};

}  // namespace tarnix::fileprovider
