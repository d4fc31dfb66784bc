#include "cloudfs/requests/ServiceRequests.hpp"

#include "cloudfs/TarnixUserAgent.hpp"

namespace tarnix::cloudfs {

HTTPHeaders HeartBeatRequest::headers() const {
  return {{base::HTTPHeaderName::pragma, "no-cache"},
          {base::HTTPHeaderName::cacheControl, "no-cache, no-store, must-revalidate"}};
}

void HeartBeatRequest::configure(URLComponents& components, std::string_view) const {
  if (host) components.host = *host;
}

HTTPHeaders SyncBackendRequestPrototype::headers() const {
  return {{base::HTTPHeaderName::contentType, std::string(base::HTTPContentType::json)},
          {base::HTTPHeaderName::tarnixClientRevision,
           std::string(TarnixUserAgent::kSyncClientRevision)}};
}

void SyncBackendRequestPrototype::configure(URLComponents& components,
                                            std::string_view domain) const {
  components.host = "sync-" + std::string(domain);
}

std::expected<std::optional<std::string>, CloudFSError> IfflPrecheckRequest::body() const {
  return encodeJSONBody({{"root_paths", rootPaths}});
}

}  // namespace tarnix::cloudfs
