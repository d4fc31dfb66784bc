#pragma once
// The cloud's change feeds: the batches of file-system events the desktop sync back end serves
// after a snapshot revision, and the public request for a range of announced event ids.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cloudfs/requests/ServiceRequests.hpp"

namespace tarnix::cloudfs {

class GetEventsRequest final : public SyncBackendRequestPrototype {
 public:
  /// The drive's root paths.
  std::vector<std::string> folders;
  /// The snapshot revision to read after.
  std::int64_t revision = 0;
  std::int64_t headRevision = 0;
  /// Events per answer, at most.
  std::int64_t eventBatch = 0;
  std::int64_t batchID = 0;
  bool force = false;

  std::string path() const override { return "/v5/get_events"; }
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  /// {"folders", "revision", "head_revision", "event_batch", "batch_id", "force"}.
  std::expected<std::optional<std::string>, CloudFSError> body() const override;
};

class EventsRequest final : public CloudFSRequestPrototype {
 public:
  /// The request for the inclusive range [minEventID, maxEventID]; none when the range is
  /// empty, negative, or its bounds overflow on the wire (max + 1, max − min + 1).
  static std::optional<EventsRequest> make(std::int64_t minEventID, std::int64_t maxEventID,
                                           std::string workgroupID);

  std::int64_t minEventID = 0;
  std::int64_t maxEventID = 0;
  std::string workgroupID;

  std::string path() const override { return "/rest/public/1.0/events/getEvents"; }
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  /// {"minEventId": min, "maxEventId": max + 1, "maxBatchSize": max − min + 1, "workgroupId"}.
  std::expected<std::optional<std::string>, CloudFSError> body() const override;

 private:
  EventsRequest() = default;
};

}  // namespace tarnix::cloudfs
