// Metadata, listings and file-system index queries.
#include "emulator/Formats.hpp"
#include "emulator/Router.hpp"

namespace tarnix::emulator {

namespace {

Response fail(const ApiError& error) {
  return errorResponse(error);
}

MetadataOptions metadataOptions(const Request& r) {
  MetadataOptions o;
  o.includePermissions = queryFlag(r, "include_perm");
  o.includeLocks = queryFlag(r, "include_locks");
  o.includeCollaboration = queryFlag(r, "include_collaboration");
  o.listContent = queryFlag(r, "list_content");
  if (auto v = r.queryValue("offset")) o.offset = parseId(*v);
  if (auto v = r.queryValue("count")) o.count = parseId(*v);
  o.descending = r.queryValue("sort_direction") == "descending";
  o.sortBy = r.queryValue("sort_by");
  return o;
}

Response metadata(RouteContext& c, const Node& node) {
  auto options = metadataOptions(c.request);
  return Response::json(200, node.isFolder ? folderMetadataJson(c.cloud, c.user, node, options)
                                           : fileMetadataJson(c.cloud, c.user, node, options));
}

Response listing(RouteContext& c, const Node& folder) {
  if (!folder.isFolder) return fail(ApiError{404, "Folder not found"});
  const Request& r = c.request;
  ListingOptions o;
  o.includeChecksum = queryFlag(r, "includeChecksum");
  o.includeUploadedBy = queryFlag(r, "includeUploadedBy");
  o.includeCollaboration = queryFlag(r, "includeCollaboration");
  o.indicateStandardUsersAccess = queryFlag(r, "indicateStandardUsersAccess");
  o.indicateProjectFolder = queryFlag(r, "indicateProjectFolder");
  o.indicateDocumentRoom = queryFlag(r, "indicateDocumentRoom");
  Listing listing = listingJson(c.cloud, c.user, folder, o);
  auto known = r.header("If-None-Match");
  Response response;
  if (known && (*known == listing.etag || *known == "W/" + listing.etag)) {
    response.status = 304;
  } else {
    response.body = std::move(listing.body);
    response.set("Content-Type", "application/json");
  }
  response.set("ETag", listing.etag);
  return response;
}

Response fsiItem(RouteContext& c, const std::expected<Node, ApiError>& node) {
  if (!node) return fail(node.error());
  return Response::json(200, fsiItemJson(c.cloud, c.user, *node));
}

}  // namespace

std::optional<Response> metadataRoutes(RouteContext& c) {
  const Request& r = c.request;
  std::string_view path = r.path;
  if (r.method == "GET") {
    if (consumePrefix(path, "/api/v1/fs/ids/")) {
      auto item = parseItemId(path);
      if (!item) return fail(ApiError{404, "Item not found"});
      auto node = c.cloud.nodeById(c.user, item->second, item->first);
      return node ? metadata(c, *node) : fail(node.error());
    }
    if (path == "/api/v1/fs" || path.starts_with("/api/v1/fs/")) {
      path.remove_prefix(10);
      auto node = c.cloud.nodeByPath(c.user, path.empty() ? "/" : std::string(path));
      return node ? metadata(c, *node) : fail(node.error());
    }
    if (path == "/rest/public/v1/fsc/folders") {
      auto folderPath = r.queryValue("path");
      if (!folderPath) return fail(ApiError{400, "Missing path"});
      auto node = c.cloud.nodeByPath(c.user, *folderPath);
      return node ? listing(c, *node) : fail(node.error());
    }
    if (consumePrefix(path, "/rest/public/v1/fsc/folders/")) {
      auto id = parseId(path);
      if (!id) return fail(ApiError{404, "Folder not found"});
      auto node = c.cloud.nodeById(c.user, *id, true);
      return node ? listing(c, *node) : fail(node.error());
    }
    if (path == "/rest/public/1.0/fsi") {
      auto itemPath = r.queryValue("path");
      if (!itemPath) return fail(ApiError{400, "Missing path"});
      return fsiItem(c, c.cloud.nodeByPath(c.user, *itemPath));
    }
    if (consumePrefix(path, "/rest/public/2.0/fsi/")) {
      if (auto item = parseItemId(path)) {
        return fsiItem(c, c.cloud.nodeById(c.user, item->second, item->first));
      }
      auto id = parseId(path);
      auto node = id ? c.cloud.store().node(*id) : std::nullopt;
      if (!node) return fail(ApiError{404, "Item not found"});
      return fsiItem(c, c.cloud.nodeById(c.user, node->id, node->isFolder));
    }
  }
  if (r.method == "POST" && path == "/rest/public/1.0/fsi") {
    auto body = jsonObjectBody(r);
    if (!body) return body.error();
    auto method = base::jsonString(*body, "_method").value_or("");
    if (method == "GET") {
      auto itemPath = base::jsonString(*body, "path");
      if (!itemPath) return fail(ApiError{400, "Missing path"});
      return fsiItem(c, c.cloud.nodeByPath(c.user, *itemPath));
    }
    if (method == "DUPLICATE") {
      auto source = base::jsonString(*body, "sourceFilePath");
      if (!source) return fail(ApiError{400, "Missing sourceFilePath"});
      return fsiItem(c, c.cloud.duplicate(c.actor, *source));
    }
    return fail(ApiError{400, "Unknown _method"});
  }
  return std::nullopt;
}

}  // namespace tarnix::emulator
