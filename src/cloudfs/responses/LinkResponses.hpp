#pragma once
// Answers of the link requests: a URL a person may open. Each is read strictly: a body that is
// not a JSON object, a missing or non-text member, or text that is not an absolute http(s) URL
// (with a host, without spaces or control characters) is `fieldParsingError` naming the member,
// so that nothing else is shown to the user or handed to a browser.

#include <expected>
#include <string>
#include <string_view>

#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/CloudFSResponse.hpp"

namespace tarnix::cloudfs {

/// Whether `text` is an absolute "http://" or "https://" URL with a host and no whitespace or
/// control characters.
bool isWebURL(std::string_view text);

/// {"link": URL, ...} (other members are not read).
struct CopyDefaultLinkResponse {
  std::string link;

  static std::expected<CopyDefaultLinkResponse, CloudFSError> decode(
      const CloudFSResponse& response);
};

/// {"url": URL}.
struct ViewOnlineResponse {
  std::string url;

  static std::expected<ViewOnlineResponse, CloudFSError> decode(const CloudFSResponse& response);
};

}  // namespace tarnix::cloudfs
