#pragma once
// Turns a request into the cloud's answer: authentication, then the endpoint groups in turn.
// Not thread-safe: called from the server's one I/O thread.

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "emulator/Cloud.hpp"
#include "emulator/Http.hpp"

namespace tarnix::emulator {

/// What an endpoint handler sees.
struct RouteContext {
  Cloud& cloud;
  const Request& request;
  const User& user;
  Actor actor;
};

// Endpoint groups; each answers none when the request is not one of its own.
std::optional<Response> metadataRoutes(RouteContext& context);
std::optional<Response> namespaceRoutes(RouteContext& context);
std::optional<Response> transferRoutes(RouteContext& context);
std::optional<Response> eventRoutes(RouteContext& context);
std::optional<Response> serviceRoutes(RouteContext& context);

// Helpers shared by the groups.
bool consumePrefix(std::string_view& path, std::string_view prefix);
/// A decimal id without sign or overflow.
std::optional<std::int64_t> parseId(std::string_view text);
bool queryFlag(const Request& request, std::string_view name);
/// The body as a JSON object, or the 400 answer to send.
std::expected<base::JSONValue, Response> jsonObjectBody(const Request& request);
/// Reads "file/<id>" or "folder/<id>": (is folder, id).
std::optional<std::pair<bool, std::int64_t>> parseItemId(std::string_view text);

/// The path of the connectivity check; answered without credentials.
inline constexpr std::string_view kHeartBeatPath = "/downloads/test/tx-client-check.txt";

class Router {
 public:
  explicit Router(Cloud& cloud) : cloud_(cloud) {}
  /// Never throws: storage failures become 500 answers.
  Response handle(const Request& request);

 private:
  Cloud& cloud_;
};

}  // namespace tarnix::emulator
