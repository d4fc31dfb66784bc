#include "emulator/Router.hpp"

#include <charconv>

#include "emulator/Sql.hpp"

namespace tarnix::emulator {

bool consumePrefix(std::string_view& path, std::string_view prefix) {
  if (!path.starts_with(prefix)) return false;
  path.remove_prefix(prefix.size());
  return true;
}

std::optional<std::int64_t> parseId(std::string_view text) {
  std::int64_t value = 0;
  if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool queryFlag(const Request& request, std::string_view name) {
  return request.queryValue(name) == "true";
}

std::expected<base::JSONValue, Response> jsonObjectBody(const Request& request) {
  auto parsed = base::parseJSON(request.body);
  if (!parsed || !parsed->is_object()) {
    return std::unexpected(errorResponse(ApiError{400, "The request body is not a JSON object"}));
  }
  return *parsed;
}

std::optional<std::pair<bool, std::int64_t>> parseItemId(std::string_view text) {
  bool folder = consumePrefix(text, "folder/");
  if (!folder && !consumePrefix(text, "file/")) return std::nullopt;
  auto id = parseId(text);
  if (!id) return std::nullopt;
  return std::pair{folder, *id};
}

Response Router::handle(const Request& request) {
  try {
    if (request.path == kHeartBeatPath && (request.method == "GET" || request.method == "HEAD")) {
      Response r;
      r.body = "OK\n";
      r.set("Content-Type", "text/plain");
      return r;
    }
    auto user = cloud_.authenticate(request.header("Authorization"));
    if (!user) {
      Response r = errorResponse(ApiError{401, "Authentication required"});
      r.set("WWW-Authenticate", "OAUTH");
      return r;
    }
    RouteContext context{cloud_, request, *user,
                         Actor{*user, request.header("Tarnix-Client-Id"),
                               request.header("X-Tarnix-Action-Source").value_or("API")}};
    for (auto group :
         {eventRoutes, serviceRoutes, transferRoutes, metadataRoutes, namespaceRoutes}) {
      if (auto response = group(context)) return std::move(*response);
    }
    return errorResponse(ApiError{404, "No such endpoint: " + request.method + " " + request.path});
  } catch (const SqlError& e) {
    return errorResponse(ApiError{500, "Internal error: " + e.what});
  } catch (const std::exception& e) {
    return errorResponse(ApiError{500, std::string("Internal error: ") + e.what()});
  }
}

}  // namespace tarnix::emulator
