#include "cloudfs/requests/FolderMetadataRequest.hpp"

namespace tarnix::cloudfs {

std::vector<URLQueryItem> FolderMetadataOptions::queryItems() const {
  std::vector<URLQueryItem> items{
      {"include_perm", queryBool(includePermissions)},
      {"include_locks", queryBool(includeLocks)},
      {"include_collaboration", queryBool(includeCollaboration)},
      {"list_content", queryBool(listEntries)},
  };
  if (offset) items.push_back({"offset", std::to_string(*offset)});
  if (count) items.push_back({"count", std::to_string(*count)});
  if (sortDirection == SortDirection::descending) items.push_back({"sort_direction", "descending"});
  if (sortBy) {
    static constexpr const char* kNames[] = {"name", "last_modified", "uploaded_by",
                                             "custom_metadata"};
    items.push_back({"sort_by", kNames[static_cast<int>(*sortBy)]});
  }
  return items;
}

std::string FolderMetadataRequest::path() const {
  return "/api/v1/fs/ids/folder/" + percentEncodePathSegment(folderID);
}

}  // namespace tarnix::cloudfs
