// "/__admin/": fault rules and the log of received requests, for tests.
#include "emulator/Faults.hpp"
#include "emulator/Http.hpp"

namespace tarnix::emulator {

std::optional<Response> adminRoutes(const Request& request, FaultInjector& faults,
                                    RequestLog& log) {
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
  return std::nullopt;
}

}  // namespace tarnix::emulator
