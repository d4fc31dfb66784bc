#pragma once
// The shared vocabulary for classifying failed cloud calls.

#include <optional>
#include <string>

#include "base/HTTPRetryAfter.hpp"

namespace tarnix::cloudfs {

struct TarnixURLError {
  enum class Kind {
    serviceUnavailable,
    notAuthenticated,
    noInternetConnection,
    badRequest,
    badServerResponse,
    resourceNotFound,
    accessDenied,
    clientError,
    serverError,
  };

  Kind kind = Kind::serverError;
  /// Only for `serviceUnavailable`.
  std::optional<base::HTTPRetryAfter> retryAfter;

  static TarnixURLError serviceUnavailable(std::optional<base::HTTPRetryAfter> retryAfter) {
    return {Kind::serviceUnavailable, retryAfter};
  }
  static TarnixURLError make(Kind kind) { return {kind, std::nullopt}; }

  bool operator==(const TarnixURLError&) const = default;
  std::string description() const;
};

}  // namespace tarnix::cloudfs
