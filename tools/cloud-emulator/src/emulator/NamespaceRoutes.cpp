// Namespace changes: create folder, move, copy, delete, lock and unlock.
#include "emulator/Formats.hpp"
#include "emulator/Router.hpp"

namespace tarnix::emulator {

namespace {

Response fail(const ApiError& error) {
  return errorResponse(error);
}

/// A JSON member that may be a string or a number, as text.
std::optional<std::string> textMember(const base::JSONValue& body, std::string_view key) {
  if (auto s = base::jsonString(body, key)) return s;
  if (auto i = base::jsonInt(body, key)) return std::to_string(*i);
  return std::nullopt;
}

Response itemMetadata(RouteContext& c, const Node& node) {
  MetadataOptions options;
  return Response::json(200, node.isFolder ? folderMetadataJson(c.cloud, c.user, node, options)
                                           : fileMetadataJson(c.cloud, c.user, node, options));
}

Response lockAction(RouteContext& c, const Node& node, const base::JSONValue& body,
                    const std::string& action) {
  if (node.isFolder) return fail(ApiError{400, "Only files can be locked"});
  auto token = base::jsonString(body, "lock_token");
  if (action == "unlock") {
    auto done = c.cloud.unlock(c.actor, node.id, token);
    return done ? Response::json(200, base::JSONValue::object()) : fail(done.error());
  }
  auto lock = c.cloud.lock(c.actor, node.id, token, base::jsonInt(body, "lock_timeout"),
                           base::jsonString(body, "collaboration"));
  if (!lock) return fail(lock.error());
  return Response::json(
      200, {{"lock_token", lock->token}, {"timeout", (lock->expiresMs - lock->createdMs) / 1000}});
}

std::optional<std::string> lockToken(const Request& r, const base::JSONValue* body) {
  if (body) {
    if (auto token = base::jsonString(*body, "lock_token")) return token;
  }
  return r.header("X-Tarnix-Lock-Token");
}

Response postById(RouteContext& c, bool folder, std::int64_t id) {
  auto body = jsonObjectBody(c.request);
  if (!body) return body.error();
  auto action = base::jsonString(*body, "action").value_or("");
  if (action == "add_folder") {
    if (!folder) return fail(ApiError{400, "Folders can only be added to folders"});
    auto created = c.cloud.createFolder(c.actor, id, base::jsonString(*body, "name").value_or(""));
    if (!created) return fail(created.error());
    return itemMetadata(c, *created);
  }
  if (action == "move") {
    std::optional<std::int64_t> parent;
    if (auto destination = textMember(*body, "destination_id")) {
      parent = parseId(*destination);
      if (!parent) return fail(ApiError{404, "Destination folder not found"});
    }
    auto name = base::jsonString(*body, "name");
    if (!parent && !name) return fail(ApiError{400, "dest path can not be empty for action move"});
    auto node = c.cloud.store().node(id);
    if (!node || node->isFolder != folder) return fail(ApiError{404, "Item not found"});
    auto moved = c.cloud.move(c.actor, id, parent, name, lockToken(c.request, &*body));
    return moved ? itemMetadata(c, *moved) : fail(moved.error());
  }
  if (action == "lock" || action == "unlock") {
    auto node = c.cloud.nodeById(c.user, id, folder);
    return node ? lockAction(c, *node, *body, action) : fail(node.error());
  }
  return fail(ApiError{400, "Unknown action"});
}

}  // namespace

std::optional<Response> namespaceRoutes(RouteContext& c) {
  const Request& r = c.request;
  std::string_view path = r.path;
  if (r.method == "POST" && consumePrefix(path, "/api/v1/fs/ids/")) {
    auto item = parseItemId(path);
    if (!item) return fail(ApiError{404, "Item not found"});
    return postById(c, item->first, item->second);
  }
  if (r.method == "POST" && consumePrefix(path, "/api/v1/fs/")) {
    auto body = jsonObjectBody(r);
    if (!body) return body.error();
    auto action = base::jsonString(*body, "action").value_or("");
    if (action != "lock" && action != "unlock") return fail(ApiError{400, "Unknown action"});
    auto node = c.cloud.nodeByPath(c.user, "/" + std::string(path));
    return node ? lockAction(c, *node, *body, action) : fail(node.error());
  }
  if (r.method == "POST" && consumePrefix(path, "/rest/public/v1/fs/ids/")) {
    auto item = parseItemId(path);
    if (!item) return fail(ApiError{404, "Item not found"});
    auto body = jsonObjectBody(r);
    if (!body) return body.error();
    if (base::jsonString(*body, "action") != "copy") return fail(ApiError{400, "Unknown action"});
    auto node = c.cloud.nodeById(c.user, item->second, item->first);
    if (!node) return fail(node.error());
    auto copied =
        c.cloud.copy(c.actor, node->id, base::jsonString(*body, "destination").value_or(""));
    return copied ? Response::json(200, fsiItemJson(c.cloud, c.user, *copied))
                  : fail(copied.error());
  }
  if (r.method == "DELETE" && consumePrefix(path, "/api/v1/fs/ids/")) {
    auto item = parseItemId(path);
    if (!item) return fail(ApiError{404, "Item not found"});
    auto node = c.cloud.nodeById(c.user, item->second, item->first);
    if (!node) return fail(node.error());
    std::optional<std::int64_t> entryId;
    if (auto text = r.queryValue("entry_id")) {
      entryId = parseId(*text);
      if (!entryId) return fail(ApiError{400, "Invalid entry_id"});
    }
    auto removed = c.cloud.remove(c.actor, node->id, entryId, lockToken(r, nullptr),
                                  queryFlag(r, "only_if_empty"));
    return removed ? Response::json(200, base::JSONValue::object()) : fail(removed.error());
  }
  return std::nullopt;
}

}  // namespace tarnix::emulator
