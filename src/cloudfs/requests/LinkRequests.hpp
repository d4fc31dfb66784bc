#pragma once
// Links to an item for people and browsers: the item's shared link with the account's default
// settings, and the cloud's web page that shows the item. Both name the item by its cloud path
// and, where it has one, its cloud identifier.

#include <optional>
#include <string>

#include "cloudfs/CloudFSRequestPrototype.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::cloudfs {

/// The item a link request is about.
struct LinkItem {
  /// Absolute, as the cloud names it ("/Shared/Documents/Notes.txt").
  std::string cloudPath;
  common::ItemType type = common::ItemType::file;
  /// The folder id or the file's group id; none for an item the cloud has not confirmed yet.
  std::optional<std::string> cloudID;

  /// `cloudPath` with the type and identifier of `identifier`.
  static LinkItem make(std::string cloudPath, const common::CloudItemIdentifier& identifier);
};

/// "file" or "folder".
std::string_view linkTypeName(common::ItemType type);

/// POST "/api/v1/links": {"type", "useDefaultSettings": true, "path", "id" (when known)}.
/// Answered with the link (CopyDefaultLinkResponse).
class CopyDefaultLinkRequest final : public CloudFSRequestPrototype {
 public:
  explicit CopyDefaultLinkRequest(LinkItem item) : item(std::move(item)) {}

  LinkItem item;

  std::string path() const override { return "/api/v1/links"; }
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  std::expected<std::optional<std::string>, CloudFSError> body() const override;
};

/// GET "/rest/public/navigate/services/folder" for a folder, ".../preview" for a file, with the
/// query items "path" and "id" (when known). Answered with the page's URL (ViewOnlineResponse).
class ViewOnlineRequest final : public CloudFSRequestPrototype {
 public:
  explicit ViewOnlineRequest(LinkItem item) : item(std::move(item)) {}

  LinkItem item;

  std::string path() const override;
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
  HTTPHeaders headers() const override;
};

}  // namespace tarnix::cloudfs
