#include "cloudfs/requests/DownloadRequests.hpp"

#include <limits>

namespace tarnix::cloudfs {

namespace {

std::vector<URLQueryItem> entryQuery(const std::optional<std::string>& entryID) {
  if (!entryID) return {};
  return {{"entry_id", *entryID}};
}

void addRange(HTTPHeaders& headers, const std::optional<ByteRange>& range) {
  if (!range) return;
  if (auto value = bytesHeader(*range)) headers[base::HTTPHeaderName::range] = std::move(*value);
}

}  // namespace

std::expected<std::string, CloudFSError> bytesHeader(const ByteRange& range) {
  if (range.location < 0) return std::unexpected(CloudFSError::internalError("negative range"));
  if (range.length < 1) return std::unexpected(CloudFSError::internalError("empty range"));
  if (range.length - 1 > std::numeric_limits<std::int64_t>::max() - range.location) {
    return std::unexpected(CloudFSError::internalError("range too large"));
  }
  return "bytes=" + std::to_string(range.location) + "-" +
         std::to_string(range.location + (range.length - 1));
}

std::string DownloadFileRequest::path() const {
  return "/api/v1/fs-content-download/ids/file/" + percentEncodePathSegment(groupID);
}

std::vector<URLQueryItem> DownloadFileRequest::queryItems() const {
  return entryQuery(entryID);
}

HTTPHeaders DownloadFileRequest::headers() const {
  HTTPHeaders headers;
  addRange(headers, range);
  return headers;
}

std::vector<URLQueryItem> DownloadFileByPathRequest::queryItems() const {
  return entryQuery(entryID);
}

HTTPHeaders DownloadFileByPathRequest::headers() const {
  HTTPHeaders headers{{base::HTTPHeaderName::xTarnixPath, encodedNormalizedPath}};
  addRange(headers, range);
  return headers;
}

}  // namespace tarnix::cloudfs
