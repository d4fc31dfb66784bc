#include "cloudfs/responses/LinkResponses.hpp"

#include <algorithm>
#include <cctype>

#include "cloudfs/detail/JSONFields.hpp"

namespace tarnix::cloudfs {

namespace {

bool startsWithoutCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::ranges::equal(text.substr(0, prefix.size()), prefix, [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

// A response whose one member, `key`, is a web URL.
template <class T>
std::expected<T, CloudFSError> decodeURL(const CloudFSResponse& response, std::string_view key) {
  return detail::decodeBody<T>(response, [key](detail::JSONFields& f) {
    std::string url = f.string(key);
    if (f.ok() && !isWebURL(url)) f.fail(key);
    return T{std::move(url)};
  });
}

}  // namespace

bool isWebURL(std::string_view text) {
  std::string_view rest;
  if (startsWithoutCase(text, "https://")) {
    rest = text.substr(8);
  } else if (startsWithoutCase(text, "http://")) {
    rest = text.substr(7);
  } else {
    return false;
  }
  const bool clean = std::ranges::none_of(text, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f;
  });
  const auto hostEnd = rest.find_first_of("/?#");
  const auto authority = rest.substr(0, hostEnd);
  // The host is what follows any user information.
  const auto host = authority.substr(
      authority.find('@') == std::string_view::npos ? 0 : authority.rfind('@') + 1);
  return clean && !host.empty() && host.front() != ':';
}

std::expected<CopyDefaultLinkResponse, CloudFSError> CopyDefaultLinkResponse::decode(
    const CloudFSResponse& response) {
  return decodeURL<CopyDefaultLinkResponse>(response, "link");
}

std::expected<ViewOnlineResponse, CloudFSError> ViewOnlineResponse::decode(
    const CloudFSResponse& response) {
  return decodeURL<ViewOnlineResponse>(response, "url");
}

}  // namespace tarnix::cloudfs
