// "/__admin/": fault rules, the log of received requests, users' permissions, the clock and
// the switches of the event feeds and socket, for tests.
#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "emulator/Cloud.hpp"
#include "emulator/Faults.hpp"
#include "emulator/Http.hpp"
#include "emulator/Router.hpp"
#include "emulator/Server.hpp"
#include "emulator/Sql.hpp"

namespace tarnix::emulator {

namespace {

constexpr std::array<std::pair<std::string_view, Permission>, 6> kPermissionNames = {{
    {"none", Permission::none},
    {"nav", Permission::nav},
    {"viewer", Permission::viewer},
    {"editor", Permission::editor},
    {"full", Permission::full},
    {"owner", Permission::owner},
}};

std::string_view permissionKey(Permission level) {
  for (const auto& [name, value] : kPermissionNames)
    if (value == level) return name;
  return "none";
}

// POST {"user": NAME | "user_id": ID, "id": ITEM | "path": PATH, "permission": LEVEL}: the
// user's level on the item (and what inherits from it) from now on. With both "id" and "path"
// they must name the same item. The item's folder is marked changed so that listings show it.
Response setPermission(const Request& request, Cloud& cloud) {
  auto body = base::parseJSON(request.body);
  if (!body || !body->is_object())
    return errorResponse(ApiError{400, "The request body is not a JSON object"});
  Store& store = cloud.store();
  std::optional<User> user;
  if (auto name = base::jsonString(*body, "user"))
    user = store.userByName(*name);
  else if (auto id = base::jsonInt(*body, "user_id"))
    user = store.userById(*id);
  else
    return errorResponse(ApiError{400, "Give \"user\" or \"user_id\""});
  if (!user) return errorResponse(ApiError{404, "No such user"});

  std::optional<Node> node;
  std::optional<std::int64_t> id = base::jsonInt(*body, "id");
  if (!id) {
    if (auto text = base::jsonString(*body, "id")) {
      id = parseId(*text);
      if (!id) return errorResponse(ApiError{400, "Invalid id"});
    }
  }
  const auto path = base::jsonString(*body, "path");
  if (!id && !path) return errorResponse(ApiError{400, "Give \"id\" or \"path\""});
  if (id) node = store.node(*id);
  if (path) {
    auto byPath = store.resolve(*path);
    if (node && byPath && byPath->id != node->id)
      return errorResponse(ApiError{400, "\"id\" and \"path\" name different items"});
    if (!id) node = byPath;
    if (!byPath) node.reset();
  }
  if (!node) return errorResponse(ApiError{404, "Item not found"});

  const auto levelName = base::jsonString(*body, "permission");
  if (!levelName) return errorResponse(ApiError{400, "Give \"permission\""});
  const auto* level = std::ranges::find_if(
      kPermissionNames, [&](const auto& entry) { return entry.first == *levelName; });
  if (level == kPermissionNames.end())
    return errorResponse(ApiError{
        400, "Unknown permission " + *levelName + " (none, nav, viewer, editor, full, owner)"});

  Transaction tx(store.db());
  store.setPermission(user->id, node->id, level->second);
  if (node->parentId) store.touchFolder(*node->parentId, cloud.now());
  if (node->isFolder) store.touchFolder(node->id, cloud.now());
  tx.commit();
  return Response::json(200, {{"user_id", user->id},
                              {"id", node->id},
                              {"path", store.pathOf(node->id)},
                              {"permission", std::string(permissionKey(level->second))}});
}

base::JSONValue describeEvents(const EventSwitches& switches, const EventSocketControl& sockets) {
  auto optional = [](const auto& value) {
    return value ? base::JSONValue(*value) : base::JSONValue(nullptr);
  };
  return {{"openSockets", sockets.openCount()},
          {"refuseUpgrade", optional(switches.refuseUpgrade)},
          {"answerPings", switches.answerPings},
          {"ifflCandidate", optional(switches.ifflCandidate)},
          {"expiredThrough", switches.expiredThrough},
          {"malformedBatches", switches.malformedBatches}};
}

// POST {"closeSockets": true, "push": TEXT, "refuseUpgrade": STATUS | null,
// "answerPings": BOOL, "ifflCandidate": BOOL | null, "expireThrough": REVISION,
// "malformedBatches": N}, any of them; the actions run after the switches are set.
Response setEventSwitches(const Request& request, Cloud& cloud, const EventSocketControl& sockets) {
  auto body = base::parseJSON(request.body);
  if (!body || !body->is_object())
    return errorResponse(ApiError{400, "The request body is not a JSON object"});
  EventSwitches next = cloud.eventSwitches();
  auto bad = [](const char* key) {
    return errorResponse(ApiError{400, std::string("Invalid \"") + key + "\""});
  };
  if (auto it = body->find("refuseUpgrade"); it != body->end()) {
    if (it->is_null()) {
      next.refuseUpgrade.reset();
    } else if (auto status = base::jsonInt(*body, "refuseUpgrade");
               status && *status >= 200 && *status <= 599 && *status != 101) {
      next.refuseUpgrade = static_cast<int>(*status);
    } else {
      return bad("refuseUpgrade");
    }
  }
  if (body->contains("answerPings")) {
    auto value = base::jsonBool(*body, "answerPings");
    if (!value) return bad("answerPings");
    next.answerPings = *value;
  }
  if (auto it = body->find("ifflCandidate"); it != body->end()) {
    if (it->is_null()) {
      next.ifflCandidate.reset();
    } else if (auto value = base::jsonBool(*body, "ifflCandidate")) {
      next.ifflCandidate = *value;
    } else {
      return bad("ifflCandidate");
    }
  }
  if (body->contains("expireThrough")) {
    auto value = base::jsonInt(*body, "expireThrough");
    if (!value || *value < 0) return bad("expireThrough");
    next.expiredThrough = std::max(next.expiredThrough, *value);
  }
  if (body->contains("malformedBatches")) {
    auto value = base::jsonInt(*body, "malformedBatches");
    if (!value || *value < -1) return bad("malformedBatches");
    next.malformedBatches = *value;
  }
  std::optional<std::string> push;
  if (body->contains("push")) {
    push = base::jsonString(*body, "push");
    if (!push) return bad("push");
  }
  bool closeSockets = false;
  if (body->contains("closeSockets")) {
    auto value = base::jsonBool(*body, "closeSockets");
    if (!value) return bad("closeSockets");
    closeSockets = *value;
  }
  cloud.eventSwitches() = next;
  auto answer = describeEvents(next, sockets);
  if (push) answer["pushed"] = sockets.push(*push);
  if (closeSockets) answer["closed"] = sockets.closeAll();
  return Response::json(200, answer);
}

base::JSONValue describeUploads(const UploadSwitches& switches) {
  auto optional = [](const auto& value) {
    return value ? base::JSONValue(*value) : base::JSONValue(nullptr);
  };
  return {{"maxFileSize", optional(switches.maxFileSize)},
          {"excludedExtensions", switches.excludedExtensions},
          {"quotaBytes", optional(switches.quotaBytes)}};
}

// POST {"maxFileSize": BYTES | null, "excludedExtensions": [EXT...], "quotaBytes": BYTES |
// null}, any of them: the server's rejections of uploads from now on.
Response setUploadSwitches(const Request& request, Cloud& cloud) {
  auto body = base::parseJSON(request.body);
  if (!body || !body->is_object())
    return errorResponse(ApiError{400, "The request body is not a JSON object"});
  UploadSwitches next = cloud.uploadSwitches();
  auto bad = [](const char* key) {
    return errorResponse(ApiError{400, std::string("Invalid \"") + key + "\""});
  };
  for (auto [key, field] : {std::pair{"maxFileSize", &UploadSwitches::maxFileSize},
                            std::pair{"quotaBytes", &UploadSwitches::quotaBytes}}) {
    auto it = body->find(key);
    if (it == body->end()) continue;
    if (it->is_null()) {
      (next.*field).reset();
    } else if (auto value = base::jsonInt(*body, key); value && *value >= 0) {
      next.*field = *value;
    } else {
      return bad(key);
    }
  }
  if (auto it = body->find("excludedExtensions"); it != body->end()) {
    if (!it->is_array()) return bad("excludedExtensions");
    next.excludedExtensions.clear();
    for (const auto& item : *it) {
      if (!item.is_string()) return bad("excludedExtensions");
      std::string extension = item.get<std::string>();
      if (extension.starts_with('.')) extension.erase(0, 1);
      for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      next.excludedExtensions.push_back(extension);
    }
  }
  cloud.uploadSwitches() = next;
  return Response::json(200, describeUploads(next));
}

base::JSONValue describeClock(const Cloud& cloud) {
  return {{"now_ms", cloud.now()},
          {"offset_ms", cloud.clockOffset()},
          {"max_lock_seconds", cloud.maximumLockSeconds()}};
}

// {"advance_seconds": n} or {"advance_ms": n}: moves the emulator's time forward, so that
// locks run out without waiting. {"max_lock_seconds": n}: locks are granted for at most n
// seconds from now on (0: as asked), as a cloud that caps lock durations does.
Response advanceClock(const Request& request, Cloud& cloud) {
  auto json = base::parseJSON(request.body);
  if (!json || !json->is_object()) return errorResponse(ApiError{400, "Expected a JSON object"});
  std::int64_t milliseconds = 0;
  if (auto seconds = json->find("advance_seconds");
      seconds != json->end() && seconds->is_number()) {
    milliseconds += static_cast<std::int64_t>(seconds->get<double>() * 1000);
  }
  if (auto ms = json->find("advance_ms"); ms != json->end() && ms->is_number_integer()) {
    milliseconds += ms->get<std::int64_t>();
  }
  const auto cap = json->find("max_lock_seconds");
  const bool capped =
      cap != json->end() && cap->is_number_integer() && cap->get<std::int64_t>() >= 0;
  if (milliseconds <= 0 && !capped) {
    return errorResponse(
        ApiError{400, "advance_seconds or advance_ms must be positive, or max_lock_seconds given"});
  }
  if (capped) cloud.setMaximumLockSeconds(cap->get<std::int64_t>());
  cloud.advanceClock(milliseconds);
  return Response::json(200, describeClock(cloud));
}

}  // namespace

std::optional<Response> adminRoutes(const Request& request, FaultInjector& faults, RequestLog& log,
                                    Cloud& cloud, const EventSocketControl& sockets) {
  if (request.path == "/__admin/events") {
    if (request.method == "GET")
      return Response::json(200, describeEvents(cloud.eventSwitches(), sockets));
    if (request.method == "DELETE") {
      cloud.eventSwitches() = {};
      return Response::json(200, describeEvents(cloud.eventSwitches(), sockets));
    }
    if (request.method == "POST") return setEventSwitches(request, cloud, sockets);
  }
  if (request.path == "/__admin/uploads") {
    if (request.method == "GET")
      return Response::json(200, describeUploads(cloud.uploadSwitches()));
    if (request.method == "DELETE") {
      cloud.uploadSwitches() = {};
      return Response::json(200, describeUploads(cloud.uploadSwitches()));
    }
    if (request.method == "POST") return setUploadSwitches(request, cloud);
  }
  if (request.path == "/__admin/faults") {
    if (request.method == "GET") return Response::json(200, faults.describe());
    if (request.method == "DELETE") {
      faults.clear();
      return Response::json(200, base::JSONValue::object());
    }
    if (request.method == "POST") {
      auto json = base::parseJSON(request.body);
      if (!json) return errorResponse(ApiError{400, json.error().message});
      if (auto added = faults.addFromJSON(*json); !added) {
        return errorResponse(ApiError{400, added.error()});
      }
      return Response::json(200, faults.describe());
    }
  }
  if (request.path == "/__admin/requests") {
    if (request.method == "GET") return Response::json(200, log.toJSON());
    if (request.method == "DELETE") {
      log.clear();
      return Response::json(200, base::JSONValue::object());
    }
  }
  if (request.path == "/__admin/clock") {
    if (request.method == "GET") return Response::json(200, describeClock(cloud));
    if (request.method == "POST") return advanceClock(request, cloud);
  }
  if (request.path == "/__admin/permissions" && request.method == "POST") {
    try {
      return setPermission(request, cloud);
    } catch (const SqlError& e) {
      return errorResponse(ApiError{500, "Internal error: " + e.what});
    }
  }
  return std::nullopt;
}

}  // namespace tarnix::emulator
