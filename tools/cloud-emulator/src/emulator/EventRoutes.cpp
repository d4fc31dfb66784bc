// The two event feeds, the activation precheck, service discovery, the signed-in user and link
// requests.
#include <algorithm>

#include "base/Uuid.hpp"
#include "emulator/Formats.hpp"
#include "emulator/Router.hpp"

namespace tarnix::emulator {

namespace {

Response fail(const ApiError& error) {
  return errorResponse(error);
}

bool isUnder(const std::optional<std::string>& path, const std::string& root) {
  if (!path) return false;
  if (root == "/" || *path == root) return true;
  return path->starts_with(root) && (*path)[root.size()] == '/';
}

std::vector<std::string> stringList(const base::JSONValue& body, const char* key) {
  std::vector<std::string> result;
  auto it = body.find(key);
  if (it == body.end() || !it->is_array()) return result;
  for (const auto& item : *it) {
    if (item.is_string()) result.push_back(item.get<std::string>());
  }
  return result;
}

Response syncEvents(RouteContext& c, const base::JSONValue& body) {
  auto folders = stringList(body, "folders");
  std::int64_t revision = base::jsonInt(body, "revision").value_or(0);
  auto& switches = c.cloud.eventSwitches();
  if (switches.malformedBatches != 0) {
    if (switches.malformedBatches > 0) --switches.malformedBatches;
    return Response::json(
        200, {{"events", {{{"revision", "one"}, {"action", 7}}}}, {"more_events", "no"}});
  }
  if (revision < switches.expiredThrough) {
    return fail(ApiError{410, "The events after this revision have expired", "EventsExpired"});
  }
  std::int64_t batch =
      std::clamp<std::int64_t>(base::jsonInt(body, "event_batch").value_or(0), 0, 10000);
  if (batch == 0) batch = 1000;
  base::JSONValue events = base::JSONValue::array();
  bool more = false;
  Store& store = c.cloud.store();
  for (std::int64_t after = revision;;) {
    auto page = store.eventsAfter(after, 1000);
    for (const auto& e : page) {
      bool wanted = folders.empty() || std::ranges::any_of(folders, [&](const std::string& root) {
                      return isUnder(e.targetPath, root) || isUnder(e.sourcePath, root);
                    });
      if (!wanted) continue;
      if (static_cast<std::int64_t>(events.size()) == batch) {
        more = true;
        break;
      }
      events.push_back(syncEventJson(e));
    }
    if (more || page.size() < 1000) break;
    after = page.back().id;
  }
  return Response::json(200, {{"events", std::move(events)}, {"more_events", more}});
}

Response publicEvents(RouteContext& c) {
  auto body = jsonObjectBody(c.request);
  if (!body) return body.error();
  auto min = base::jsonInt(*body, "minEventId");
  auto max = base::jsonInt(*body, "maxEventId");
  if (!min || !max || *min < 0 || *max < *min) {
    return fail(ApiError{400, "minEventId and maxEventId must give a range"});
  }
  auto limit =
      std::clamp<std::int64_t>(base::jsonInt(*body, "maxBatchSize").value_or(1000), 1, 10000);
  base::JSONValue list = base::JSONValue::array();
  const std::int64_t gone = c.cloud.eventSwitches().expiredThrough;
  for (const auto& e : c.cloud.store().eventsBetween(std::max(*min, gone + 1), *max, limit)) {
    list.push_back(publicEventJson(e));
  }
  return Response::json(200, {{"data", list}, {"events", list}});
}

/// The item a link request names, as the user sees it: by `id` (a folder's id or a file's
/// group id) and by `path`, which must then name the same item; of the kind `folder` when
/// given. 404 when the user cannot see such an item, 400 when neither is given.
std::expected<Node, ApiError> linkedItem(RouteContext& c, std::optional<bool> folder,
                                         const std::optional<std::string>& id,
                                         const std::optional<std::string>& path) {
  if (!id && !path) return std::unexpected(ApiError{400, "id or path must name the item"});
  std::optional<Node> found;
  if (id) {
    auto number = parseId(*id);
    auto node = number ? c.cloud.store().node(*number) : std::nullopt;
    if (!node) return std::unexpected(ApiError{404, "Item not found"});
    auto visible = c.cloud.nodeById(c.user, node->id, node->isFolder);
    if (!visible) return std::unexpected(visible.error());
    found = *visible;
  }
  if (path) {
    auto node = c.cloud.nodeByPath(c.user, *path);
    if (!node) return std::unexpected(node.error());
    if (found && found->id != node->id)
      return std::unexpected(ApiError{404, "The id and the path name different items"});
    found = *node;
  }
  if (folder && found->isFolder != *folder)
    return std::unexpected(ApiError{404, *folder ? "Folder not found" : "File not found"});
  return *found;
}

/// The host (and port) the client reached us on, without the sync back end's prefix.
std::string publicHost(const Request& r) {
  std::string host = r.header("Host").value_or("localhost");
  if (host.starts_with("sync-")) host.erase(0, 5);
  return host;
}

}  // namespace

std::optional<Response> eventRoutes(RouteContext& c) {
  const Request& r = c.request;
  if (r.method == "POST" && r.path.starts_with("/v5/")) {
    if (!r.hostName().starts_with("sync-")) {
      return fail(ApiError{404, "The sync back end answers on the sync- host only"});
    }
    auto body = jsonObjectBody(r);
    if (!body) return body.error();
    if (r.path == "/v5/get_events") return syncEvents(c, *body);
    if (r.path == "/v5/iffl/precheck") {
      auto roots = stringList(*body, "root_paths");
      bool known = !roots.empty() && std::ranges::all_of(roots, [&](const std::string& root) {
        return c.cloud.store().resolve(root).has_value();
      });
      known = c.cloud.eventSwitches().ifflCandidate.value_or(known);
      return Response::json(
          200, {{"iffl_candidate", known}, {"global_revision_id", c.cloud.store().lastEventId()}});
    }
    return std::nullopt;
  }
  if (r.method == "POST" && r.path == "/rest/public/1.0/events/getEvents") return publicEvents(c);
  return std::nullopt;
}

std::optional<Response> serviceRoutes(RouteContext& c) {
  const Request& r = c.request;
  if (r.method == "GET" && r.path == "/rest/public/1.0/servicediscovery") {
    return Response::json(200, {{"refreshInterval", 3600}, {"events", {{"url", publicHost(r)}}}});
  }
  // The signed-in user, shaped as the file-system index shapes an owner.
  if (r.method == "GET" && r.path == "/rest/public/1.0/users/me") {
    return Response::json(200, {{"id", c.user.id},
                                {"username", c.user.username},
                                {"firstName", c.user.firstName},
                                {"lastName", c.user.lastName},
                                {"email", c.user.email}});
  }
  std::string_view path = r.path;
  if (r.method == "POST" && path == "/api/v1/links") {
    auto body = jsonObjectBody(r);
    if (!body) return body.error();
    auto type = base::jsonString(*body, "type");
    if (type != "file" && type != "folder")
      return fail(ApiError{400, "type must be file or folder"});
    auto item = linkedItem(c, *type == "folder", base::jsonString(*body, "id"),
                           base::jsonString(*body, "path"));
    if (!item) return fail(item.error());
    const std::string id = std::to_string(item->id);
    return Response::json(
        200, {{"id", base::makeUuid()},
              {"type", *type},
              {"link", "https://" + publicHost(r) + "/l/" + id + "/" + base::makeUuid()},
              {"useDefaultSettings", base::jsonBool(*body, "useDefaultSettings").value_or(true)}});
  }
  if ((r.method == "GET" || r.method == "POST") &&
      consumePrefix(path, "/rest/public/navigate/services")) {
    std::string kind = path.empty() ? "single-use" : std::string(path.substr(1));
    std::string url =
        "https://" + publicHost(r) + "/navigate/" + kind + "?token=" + base::makeUuid();
    auto id = r.queryValue("id");
    auto itemPath = r.queryValue("path");
    if (id || itemPath) {
      // A folder is shown as a folder, a file in the previewer; other pages take either.
      std::optional<bool> folder;
      if (kind == "folder") folder = true;
      if (kind == "preview") folder = false;
      auto item = linkedItem(c, folder, id, itemPath);
      if (!item) return fail(item.error());
      url += "&item=" + std::to_string(item->id);
    }
    return Response::json(200, {{"url", url}});
  }
  return std::nullopt;
}

}  // namespace tarnix::emulator
