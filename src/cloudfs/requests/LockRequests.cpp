#include "cloudfs/requests/LockRequests.hpp"

namespace tarnix::cloudfs {

namespace {
base::JSONValue optionalJSON(const std::optional<std::string>& value) {
  return value ? base::JSONValue(*value) : base::JSONValue(nullptr);
}

std::string pathOf(std::string_view cloudPath) {
  std::string encoded = percentEncodePath(cloudPath);
  if (!encoded.empty() && encoded.front() == '/') encoded.erase(0, 1);
  return "/api/v1/fs/" + encoded;
}
}  // namespace

HTTPHeaders LockActionRequest::headers() const {
  HTTPHeaders headers{
      {base::HTTPHeaderName::contentType, std::string(base::HTTPContentType::json)}};
  if (action() == "lock") {
    headers[base::HTTPHeaderName::xTarnixClientAppName] =
        common::joinedApplicationNames(options.lockingApplications);
    headers[base::HTTPHeaderName::xTarnixClientAppVersion] =
        common::joinedApplicationVersions(options.lockingApplications);
  }
  return headers;
}

std::expected<std::optional<std::string>, CloudFSError> LockActionRequest::body() const {
  base::JSONValue json = {{"action", std::string(action())},
                          {"lock_token", optionalJSON(options.lockToken)}};
  if (action() == "lock") {
    json["lock_timeout"] =
        options.lockTimeout ? base::JSONValue(*options.lockTimeout) : base::JSONValue(nullptr);
    json["collaboration"] = optionalJSON(options.collaborationToken);
  }
  return encodeJSONBody(json);
}

LockFileByIdRequest::LockFileByIdRequest(std::string groupID, LockRequestOptions options)
    : groupID(std::move(groupID)) {
  this->options = std::move(options);
}

std::string LockFileByIdRequest::path() const {
  return "/api/v1/fs/ids/file/" + percentEncodePathSegment(groupID);
}

LockFileByPathRequest::LockFileByPathRequest(std::string cloudPath, LockRequestOptions options)
    : cloudPath(std::move(cloudPath)) {
  this->options = std::move(options);
}

std::string LockFileByPathRequest::path() const {
  return pathOf(cloudPath);
}

UnlockFileByIdRequest::UnlockFileByIdRequest(std::string groupID,
                                             std::optional<std::string> lockToken)
    : groupID(std::move(groupID)) {
  options.lockToken = std::move(lockToken);
}

std::string UnlockFileByIdRequest::path() const {
  return "/api/v1/fs/ids/file/" + percentEncodePathSegment(groupID);
}

UnlockFileByPathRequest::UnlockFileByPathRequest(std::string cloudPath,
                                                 std::optional<std::string> lockToken)
    : cloudPath(std::move(cloudPath)) {
  options.lockToken = std::move(lockToken);
}

std::string UnlockFileByPathRequest::path() const {
  return pathOf(cloudPath);
}

}  // namespace tarnix::cloudfs
