#pragma once
// A request as the transport sends it, and the HTTP response head it hands back.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/HTTPHeaderName.hpp"
#include "base/HTTPMethod.hpp"

namespace tarnix::cloudfs {

struct URLRequest {
  /// Absolute "https://host[:port]/path?query" text.
  std::string url;
  base::HTTPMethod method = base::HTTPMethod::get;
  /// Header names compare without regard to case; setting a name again replaces its value.
  std::map<base::HTTPHeaderName, std::string> headers;
  std::optional<std::string> body;
  /// Seconds without any progress after which the transfer fails with `timedOut`.
  double timeoutInterval = 60;

  void setValue(std::string value, const base::HTTPHeaderName& name) {
    headers[name] = std::move(value);
  }
  std::optional<std::string> value(const base::HTTPHeaderName& name) const {
    auto it = headers.find(name);
    if (it == headers.end()) return std::nullopt;
    return it->second;
  }
};

struct HTTPURLResponse {
  int statusCode = 0;
  /// The URL that answered (the last one when redirects were followed).
  std::string url;
  /// In the order received; a name may repeat.
  std::vector<std::pair<std::string, std::string>> headerFields;

  /// The value of `name` (any case); repeated fields are joined with ", ".
  std::optional<std::string> value(const base::HTTPHeaderName& name) const {
    std::optional<std::string> joined;
    for (const auto& [field, fieldValue] : headerFields) {
      if (!base::equalsIgnoringASCIICase(field, name.rawValue)) continue;
      if (joined) {
        *joined += ", " + fieldValue;
      } else {
        joined = fieldValue;
      }
    }
    return joined;
  }
};

}  // namespace tarnix::cloudfs
