#include "cloudfs/requests/LinkRequests.hpp"

namespace tarnix::cloudfs {

namespace {
HTTPHeaders acceptJSON() {
  return {{base::HTTPHeaderName::accept, std::string(base::HTTPContentType::json)}};
}
}  // namespace

LinkItem LinkItem::make(std::string cloudPath, const common::CloudItemIdentifier& identifier) {
  return LinkItem{std::move(cloudPath),
                  identifier.isFolder() ? common::ItemType::folder : common::ItemType::file,
                  identifier.rawValue()};
}

std::string_view linkTypeName(common::ItemType type) {
  return type == common::ItemType::folder ? "folder" : "file";
}

HTTPHeaders CopyDefaultLinkRequest::headers() const {
  auto headers = acceptJSON();
  headers[base::HTTPHeaderName::contentType] = std::string(base::HTTPContentType::json);
  return headers;
}

std::expected<std::optional<std::string>, CloudFSError> CopyDefaultLinkRequest::body() const {
  base::JSONValue json = {{"type", std::string(linkTypeName(item.type))},
                          {"useDefaultSettings", true},
                          {"path", item.cloudPath}};
  if (item.cloudID) json["id"] = *item.cloudID;
  return encodeJSONBody(json);
}

std::string ViewOnlineRequest::path() const {
  return std::string("/rest/public/navigate/services/") +
         (item.type == common::ItemType::folder ? "folder" : "preview");
}

std::vector<URLQueryItem> ViewOnlineRequest::queryItems() const {
  std::vector<URLQueryItem> items = {{"path", item.cloudPath}};
  if (item.cloudID) items.push_back({"id", *item.cloudID});
  return items;
}

HTTPHeaders ViewOnlineRequest::headers() const {
  return acceptJSON();
}

}  // namespace tarnix::cloudfs
