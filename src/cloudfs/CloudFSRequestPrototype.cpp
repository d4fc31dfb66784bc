#include "cloudfs/CloudFSRequestPrototype.hpp"

namespace tarnix::cloudfs {

HTTPHeaders CloudFSFormRequestPrototype::headers() const {
  return {{base::HTTPHeaderName::contentType, std::string(base::HTTPContentType::formURLEncoded)}};
}

std::expected<std::optional<std::string>, CloudFSError> CloudFSFormRequestPrototype::body() const {
  auto encoded = form().encoded();
  if (!encoded)
    return std::unexpected(CloudFSError::bodyEncodingError(encoded.error().description()));
  return std::optional<std::string>(std::move(*encoded));
}

std::expected<std::optional<std::string>, CloudFSError> encodeJSONBody(
    const base::JSONValue& json) {
  try {
    return std::optional<std::string>(
        json.dump(-1, ' ', false, base::JSONValue::error_handler_t::strict));
  } catch (const std::exception& error) {
    return std::unexpected(CloudFSError::bodyEncodingError(error.what()));
  }
}

std::expected<URLRequest, CloudFSError> buildURLRequest(const CloudFSRequestPrototype& request,
                                                        std::string_view domain) {
  URLComponents components;
  components.host = std::string(domain);
  components.percentEncodedPath = request.path();
  components.queryItems = request.queryItems();
  request.configure(components, domain);
  auto url = components.url();
  if (!url) return std::unexpected(CloudFSError::invalidURL(request.path()));
  auto body = request.body();
  if (!body) return std::unexpected(body.error());
  URLRequest urlRequest;
  urlRequest.url = std::move(*url);
  urlRequest.method = request.method();
  urlRequest.timeoutInterval = request.timeoutInterval();
  urlRequest.body = std::move(*body);
  for (auto& [name, value] : request.headers()) urlRequest.setValue(value, name);
  return urlRequest;
}

}  // namespace tarnix::cloudfs
