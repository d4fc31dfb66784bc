#include "cloudfs/CloudFSError.hpp"

namespace tarnix::cloudfs {

std::string CloudFSError::description() const {
  switch (kind) {
    case Kind::invalidURL:
      return "Invalid URL with path '" + detail + "'";
    case Kind::internalError:
      return "Internal error: " + detail;
    case Kind::missingHeader:
      return "Missing header '" + detail + "' in response";
    case Kind::bodyEncodingError:
      return "Failed to encode response body: " + detail;
    case Kind::fieldParsingError:
      return "Failed to parse response field: " + detail;
    case Kind::serverResponseError:
      return "Server responded with status: " + std::to_string(statusCode);
    case Kind::headerParsingError:
      return "Failed to parse response header '" + detail + "' with value '" + value + "'";
    case Kind::missingBody:
      return "Missing body in response";
    case Kind::queryEncodingError:
      return "Encoding request query failed";
  }
  return "Unknown error";
}

}  // namespace tarnix::cloudfs
