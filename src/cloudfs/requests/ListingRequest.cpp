#include "cloudfs/requests/ListingRequest.hpp"

namespace tarnix::cloudfs {
namespace {

void addFlag(std::vector<URLQueryItem>& items, const char* name, bool set) {
  if (set) items.push_back({name, "true"});
}

HTTPHeaders conditionalHeaders(const std::optional<std::string>& lastETag) {
  if (!lastETag) return {};
  return {{base::HTTPHeaderName::ifNoneMatch, *lastETag}};
}

}  // namespace

std::string ListingByIdRequest::path() const {
  return "/rest/public/v1/fsc/folders/" + percentEncodePathSegment(folderID);
}

std::vector<URLQueryItem> ListingByIdRequest::queryItems() const {
  std::vector<URLQueryItem> items;
  addFlag(items, "includeChecksum", includeChecksum);
  addFlag(items, "includeUploadedBy", includeUploadedBy);
  addFlag(items, "includeCollaboration", includeCollaboration);
  addFlag(items, "indicateStandardUsersAccess", includeStandardUser);
  addFlag(items, "indicateProjectFolder", includeProjectFolder);
  addFlag(items, "indicateDocumentRoom", includeDocumentRoom);
  return items;
}

HTTPHeaders ListingByIdRequest::headers() const {
  return conditionalHeaders(lastETag);
}

std::vector<URLQueryItem> ListingByPathRequest::queryItems() const {
  std::vector<URLQueryItem> items{{"path", cloudPath}};
  addFlag(items, "includeChecksum", includeChecksum);
  addFlag(items, "includeUploadedBy", includeUploadedBy);
  addFlag(items, "includeCollaboration", includeCollaboration);
  addFlag(items, "includeMoveDeletePermittedInfo", includeMoveDeletePermittedInfo);
  addFlag(items, "indicateStandardUsersAccess", includeStandardUser);
  addFlag(items, "indicateProjectFolder", includeProjectFolder);
  return items;
}

HTTPHeaders ListingByPathRequest::headers() const {
  return conditionalHeaders(lastETag);
}

}  // namespace tarnix::cloudfs
