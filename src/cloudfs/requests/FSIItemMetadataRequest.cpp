#include "cloudfs/requests/FSIItemMetadataRequest.hpp"

namespace tarnix::cloudfs {
namespace {

std::vector<URLQueryItem> fieldItems(const std::set<FSIRequestField>& fields) {
  std::vector<URLQueryItem> items;
  for (auto field : fields) items.push_back({"fields", std::string(wireName(field))});
  return items;
}

HTTPHeaders queryHeaders() {
  return {{base::HTTPHeaderName::contentType, std::string(kFSIItemQueryContentType)}};
}

}  // namespace

std::string_view wireName(FSIRequestField field) {
  static constexpr std::string_view kNames[] = {
      "SELF",
      "PATH",
      "NAME",
      "ID",
      "PERMISSION",
      "HAS_SUBFOLDERS",
      "CONTENTS",
      "CONTENT_SOURCE",
      "FOLDER_DESC",
      "LINK_ACCESS_TYPE",
      "PERMISSION_OPTIONS",
      "CREATED_TIMESTAMP",
      "BOOKMARKED",
      "LAST_MODIFIED_TIMESTAMP",
      "TYPE",
      "OWNER",
      "NOTES",
      "ENTRY_ID",
      "REVISIONS",
      "SEARCH_QUERY",
      "MIME_TYPE",
      "ICON",
      "SIZE",
      "LAST_MODIFIED",
      "LOCK",
      "PARENT_ID",
      "IS_HLS_POSSIBLE",
      "CHECKSUM",
      "REVISION_ID",
      "COLLABORATION",
      "PREVIEW_RESTRICTIONS",
      "DOCUMENT_ROOM_RESTRICTIONS",
      "STANDARD_USER_HAS_ACCESS",
      "PROJECT_FOLDER",
      "DOCUMENT_ROOM",
      "CROSS_DOMAIN_FOLDER",
      "ACTIVE_LINKS",
      "KNOWLEDGE_BASE_FOLDER",
  };
  static_assert(std::size(kNames) == 38);
  return kNames[static_cast<int>(field)];
}

std::string FSIItemMetadataByIDRequest::path() const {
  return std::string("/rest/public/2.0/fsi/") + (itemIdentifier.isFolder() ? "folder/" : "file/") +
         percentEncodePathSegment(itemIdentifier.rawValue());
}

std::vector<URLQueryItem> FSIItemMetadataByIDRequest::queryItems() const {
  return fieldItems(fields);
}

HTTPHeaders FSIItemMetadataByIDRequest::headers() const {
  return queryHeaders();
}

std::vector<URLQueryItem> FSIItemMetadataByPathRequest::queryItems() const {
  return fieldItems(fields);
}

HTTPHeaders FSIItemMetadataByPathRequest::headers() const {
  return queryHeaders();
}

std::expected<std::optional<std::string>, CloudFSError> FSIItemMetadataByPathRequest::body() const {
  return encodeJSONBody({{"_method", "GET"}, {"path", cloudPath}});
}

}  // namespace tarnix::cloudfs
