#pragma once
// The parts of a request URL, put together into its text.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix::cloudfs {

struct URLQueryItem {
  std::string name;
  std::optional<std::string> value;
  bool operator==(const URLQueryItem&) const = default;
};

struct URLComponents {
  std::string scheme = "https";
  /// A host name or address, optionally followed by ":port".
  std::string host;
  /// Already percent-encoded; empty or starting with "/".
  std::string percentEncodedPath;
  /// Encoded in order; no "?" when empty.
  std::vector<URLQueryItem> queryItems;

  /// "scheme://host/path?query", or none when the host or the path is not valid URL text.
  std::optional<std::string> url() const;
};

/// Percent-encodes a query name or value: everything but letters, digits and "-._~" and the
/// separators "/:@!$'()*,;" becomes "%XX", so that "&", "=", "+", "#" and "%" in names of files
/// survive.
std::string percentEncodeQueryComponent(std::string_view text);
/// Percent-encodes one path segment (an identifier): everything but letters, digits and "-._~".
std::string percentEncodePathSegment(std::string_view segment);
/// Percent-encodes a cloud path segment by segment, keeping the "/" between segments.
std::string percentEncodePath(std::string_view cloudPath);

}  // namespace tarnix::cloudfs
