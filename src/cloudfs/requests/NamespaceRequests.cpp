#include "cloudfs/requests/NamespaceRequests.hpp"

namespace tarnix::cloudfs {
namespace {

HTTPHeaders extendedHeaders() {
  return {{base::HTTPHeaderName::accept, std::string(kFSExtendedContentType)},
          {base::HTTPHeaderName::contentType, std::string(kFSExtendedContentType)}};
}

std::string itemPath(std::string_view prefix, const common::CloudItemIdentifier& item) {
  return std::string(prefix) + (item.isFolder() ? "folder/" : "file/") +
         percentEncodePathSegment(item.rawValue());
}

}  // namespace

std::string CreateFolderRequest::path() const {
  return "/api/v1/fs/ids/folder/" + percentEncodePathSegment(parentID);
}

HTTPHeaders CreateFolderRequest::headers() const {
  return extendedHeaders();
}

std::expected<std::optional<std::string>, CloudFSError> CreateFolderRequest::body() const {
  return encodeJSONBody({{"action", "add_folder"}, {"name", name}});
}

std::optional<MoveItemRequest> MoveItemRequest::Builder::build(
    std::optional<std::string> lockToken) const {
  if (!newParentID && !name) return std::nullopt;
  MoveItemRequest request(sourceID);
  request.newParentID = newParentID;
  request.name = name;
  request.lockToken = std::move(lockToken);
  return request;
}

std::string MoveItemRequest::path() const {
  return itemPath("/api/v1/fs/ids/", sourceID);
}

HTTPHeaders MoveItemRequest::headers() const {
  auto headers = extendedHeaders();
  if (lockToken) headers[base::HTTPHeaderName::xTarnixLockToken] = *lockToken;
  return headers;
}

std::expected<std::optional<std::string>, CloudFSError> MoveItemRequest::body() const {
  base::JSONValue json = {{"action", "move"}};
  if (name) json["name"] = *name;
  if (newParentID) json["destination_id"] = *newParentID;
  if (lockToken) json["lock_token"] = *lockToken;
  return encodeJSONBody(json);
}

std::string_view rawValue(PermissionHandling handling) {
  return handling == PermissionHandling::keepOriginal ? "keep_original" : "inherit_from_parent";
}

std::string CopyItemByIdRequest::path() const {
  return itemPath("/rest/public/v1/fs/ids/", id);
}

HTTPHeaders CopyItemByIdRequest::headers() const {
  return {
      {base::HTTPHeaderName::contentType, std::string(base::HTTPContentType::json)},
      {base::HTTPHeaderName::accept, "application/json, application/vnd.tarnix.error+json; v=2"}};
}

std::expected<std::optional<std::string>, CloudFSError> CopyItemByIdRequest::body() const {
  base::JSONValue json = {{"action", "copy"}, {"destination", destination}};
  if (permissions) json["permissions"] = std::string(rawValue(*permissions));
  return encodeJSONBody(json);
}

HTTPHeaders DuplicateItemRequest::headers() const {
  return {{base::HTTPHeaderName::contentType, "application/vnd.tarnix.fsi.item.create+json"},
          {base::HTTPHeaderName::accept, "*/*"}};
}

std::expected<std::optional<std::string>, CloudFSError> DuplicateItemRequest::body() const {
  return encodeJSONBody({{"sourceFilePath", sourceFilePath}, {"_method", "DUPLICATE"}});
}

std::string DeleteFileRequest::path() const {
  return "/api/v1/fs/ids/file/" + percentEncodePathSegment(groupID);
}

std::vector<URLQueryItem> DeleteFileRequest::queryItems() const {
  if (!entryID) return {};
  return {{"entry_id", *entryID}};
}

HTTPHeaders DeleteFileRequest::headers() const {
  if (!lockToken) return {};
  return {{base::HTTPHeaderName::xTarnixLockToken, *lockToken}};
}

std::string DeleteFolderRequest::path() const {
  return "/api/v1/fs/ids/folder/" + percentEncodePathSegment(folderID);
}

}  // namespace tarnix::cloudfs
