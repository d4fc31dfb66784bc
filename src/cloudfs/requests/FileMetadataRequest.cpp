#include "cloudfs/requests/FileMetadataRequest.hpp"

namespace tarnix::cloudfs {

std::string FileMetadataRequest::path() const {
  return "/api/v1/fs/ids/file/" + percentEncodePathSegment(groupID);
}

std::vector<URLQueryItem> FileMetadataRequest::queryItems() const {
  std::vector<URLQueryItem> items;
  if (includePermission) items.push_back({"include_perm", "true"});
  if (includeLocks) items.push_back({"include_locks", "true"});
  if (includeCollaboration) items.push_back({"include_collaboration", "true"});
  if (listEntries) items.push_back({"list_content", "true"});
  return items;
}

std::vector<URLQueryItem> FileMetadataByPathRequest::queryItems() const {
  std::vector<URLQueryItem> items{{"path", cloudPath}, {"fields", "PATH"}};
  if (includeOwner) items.push_back({"fields", "OWNER"});
  return items;
}

}  // namespace tarnix::cloudfs
