#include "cloudfs/responses/ServiceResponses.hpp"

#include "cloudfs/detail/JSONFields.hpp"

namespace tarnix::cloudfs {

using detail::decodeBody;
using detail::JSONFields;

namespace {

std::optional<std::string> textOf(const base::JSONValue& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number_integer()) return it->dump();
  return std::nullopt;
}

}  // namespace

std::expected<CreateFolderResponse, CloudFSError> CreateFolderResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<CreateFolderResponse>(response, [](JSONFields& f) {
    return CreateFolderResponse{f.identifier("folder_id"), f.string("path")};
  });
}

std::expected<IfflPrecheckResponse, CloudFSError> IfflPrecheckResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<IfflPrecheckResponse>(response, [](JSONFields& f) {
    return IfflPrecheckResponse{f.boolean("iffl_candidate"), f.integer("global_revision_id")};
  });
}

std::expected<ServiceDiscoveryResponse, CloudFSError> ServiceDiscoveryResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<ServiceDiscoveryResponse>(response, [](JSONFields& f) {
    ServiceDiscoveryResponse discovery;
    discovery.refreshInterval = static_cast<double>(f.integer("refreshInterval"));
    if (const auto* events = f.optionalObject("events")) {
      JSONFields e(*events, "events.");
      discovery.eventsServer = e.optionalString("url");
      f.adopt(e);
    }
    return discovery;
  });
}

CloudFSErrorResponse CloudFSErrorResponse::parse(const CloudFSResponse& response) {
  CloudFSErrorResponse error;
  if (auto code = response.httpResponse.value(base::HTTPHeaderName::xTarnixErrorCode)) {
    error.errorCode = CloudFSErrorCode{*code};
  }
  auto json = detail::jsonObjectBody(response);
  if (!json) return error;
  error.errorMessage = base::jsonString(*json, "errorMessage");
  error.message = base::jsonString(*json, "message");
  error.code = textOf(*json, "code");
  if (auto it = json->find("inputErrors"); it != json->end() && it->is_array()) {
    for (const auto& input : *it) {
      if (!input.is_object()) continue;
      error.inputErrors.push_back(
          {textOf(input, "name").value_or(""), textOf(input, "code").value_or("")});
    }
  }
  if (auto it = json->find("allowedFilenameExtensions"); it != json->end() && it->is_array()) {
    for (const auto& extension : *it) {
      if (extension.is_string())
        error.allowedFilenameExtensions.push_back(extension.get<std::string>());
    }
  }
  return error;
}

}  // namespace tarnix::cloudfs
