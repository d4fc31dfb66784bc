#include "cloudfs/requests/EventRequests.hpp"

#include <limits>

namespace tarnix::cloudfs {

std::expected<std::optional<std::string>, CloudFSError> GetEventsRequest::body() const {
  return encodeJSONBody({{"folders", folders},
                         {"revision", revision},
                         {"head_revision", headRevision},
                         {"event_batch", eventBatch},
                         {"batch_id", batchID},
                         {"force", force}});
}

std::optional<EventsRequest> EventsRequest::make(std::int64_t minEventID, std::int64_t maxEventID,
                                                 std::string workgroupID) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  if (minEventID < 0 || maxEventID < minEventID || maxEventID == kMax) return std::nullopt;
  // max − min + 1 fits: both are non-negative and max < kMax.
  EventsRequest request;
  request.minEventID = minEventID;
  request.maxEventID = maxEventID;
  request.workgroupID = std::move(workgroupID);
  return request;
}

HTTPHeaders EventsRequest::headers() const {
  return {{base::HTTPHeaderName::contentType, std::string(base::HTTPContentType::json)}};
}

std::expected<std::optional<std::string>, CloudFSError> EventsRequest::body() const {
  return encodeJSONBody({{"minEventId", minEventID},
                         {"maxEventId", maxEventID + 1},
                         {"maxBatchSize", maxEventID - minEventID + 1},
                         {"workgroupId", workgroupID}});
}

}  // namespace tarnix::cloudfs
