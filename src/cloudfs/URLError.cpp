#include "cloudfs/URLError.hpp"

#include "cloudfs/TarnixURLError.hpp"

namespace tarnix::cloudfs {

bool URLError::isConnectivityFailure() const {
  switch (code) {
    case Code::timedOut:
    case Code::cannotFindHost:
    case Code::cannotConnectToHost:
    case Code::networkConnectionLost:
    case Code::notConnectedToInternet:
    case Code::resourceUnavailable:
    case Code::secureConnectionFailed:
      return true;
    default:
      return false;
  }
}

std::string URLError::description() const {
  return std::string(domain) + " " + std::to_string(rawCode()) + ": " + message;
}

std::string TarnixURLError::description() const {
  switch (kind) {
    case Kind::serviceUnavailable:
      return retryAfter ? "Service unavailable, retry after " + retryAfter->description()
                        : "Service unavailable";
    case Kind::notAuthenticated:
      return "Not authenticated";
    case Kind::noInternetConnection:
      return "No internet connection";
    case Kind::badRequest:
      return "Bad request";
    case Kind::badServerResponse:
      return "Bad server response";
    case Kind::resourceNotFound:
      return "Resource not found";
    case Kind::accessDenied:
      return "Access denied";
    case Kind::clientError:
      return "Client error";
    case Kind::serverError:
      return "Server error";
  }
  return "Unknown error";
}

}  // namespace tarnix::cloudfs
