#pragma once
// What every cloud request type says about itself; CloudFSSession turns it into a request.

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/HTTPHeaderName.hpp"
#include "base/HTTPMethod.hpp"
#include "base/JSONValue.hpp"
#include "base/URLRequestForm.hpp"
#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/URLComponents.hpp"
#include "cloudfs/URLRequest.hpp"

namespace tarnix::cloudfs {

using HTTPHeaders = std::map<base::HTTPHeaderName, std::string>;

class CloudFSRequestPrototype {
 public:
  virtual ~CloudFSRequestPrototype() = default;

  /// Percent-encoded URL path.
  virtual std::string path() const = 0;
  virtual std::vector<URLQueryItem> queryItems() const { return {}; }
  virtual base::HTTPMethod method() const = 0;
  virtual HTTPHeaders headers() const { return {}; }
  /// Seconds without progress before the request fails.
  virtual double timeoutInterval() const { return 60; }
  /// The body to send, if any.
  virtual std::expected<std::optional<std::string>, CloudFSError> body() const {
    return std::optional<std::string>{};
  }
  /// May change the URL before it is made; the host is `domain` when this is called.
  virtual void configure(URLComponents& components, std::string_view domain) const {
    (void)components;
    (void)domain;
  }
};

/// A request whose body is a form ("application/x-www-form-urlencoded").
class CloudFSFormRequestPrototype : public CloudFSRequestPrototype {
 public:
  virtual base::URLRequestForm form() const = 0;
  HTTPHeaders headers() const override;
  std::expected<std::optional<std::string>, CloudFSError> body() const override;
};

/// The compact text of `json`; text that is not UTF-8 fails with `bodyEncodingError`.
std::expected<std::optional<std::string>, CloudFSError> encodeJSONBody(const base::JSONValue& json);

/// The request for `request` on `domain` (a host name, optionally with ":port") over HTTPS:
/// its path and query items, then its `configure` hook; its method, time-out, headers and body.
/// `invalidURL(path)` when no valid URL results; the body's encoding error when it has one.
std::expected<URLRequest, CloudFSError> buildURLRequest(const CloudFSRequestPrototype& request,
                                                        std::string_view domain);

/// "true" or "false".
inline std::string queryBool(bool value) {
  return value ? "true" : "false";
}

}  // namespace tarnix::cloudfs
