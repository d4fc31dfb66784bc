#include "common/URLSessionProxyConfiguration.hpp"

#include "base/JSONValue.hpp"

namespace tarnix::common {

std::string URLSessionProxyConfiguration::jsonText() const {
  base::JSONValue json = base::JSONValue::object();
  json["proxyEnabled"] = proxyEnabled;
  json["address"] = address;
  if (port) json["port"] = *port;
  json["requiresAuthentication"] = requiresAuthentication;
  json["username"] = username;
  json["password"] = password;
  return base::dumpJSON(json);
}

std::expected<URLSessionProxyConfiguration, std::string> URLSessionProxyConfiguration::fromJSONText(
    std::string_view text) {
  auto json = base::parseJSON(text);
  if (!json) return std::unexpected(json.error().message);
  if (!json->is_object()) return std::unexpected("Proxy configuration is not a JSON object");
  URLSessionProxyConfiguration configuration;
  auto enabled = base::jsonBool(*json, "proxyEnabled");
  auto address = base::jsonString(*json, "address");
  auto authentication = base::jsonBool(*json, "requiresAuthentication");
  auto username = base::jsonString(*json, "username");
  auto password = base::jsonString(*json, "password");
  if (!enabled || !address || !authentication || !username || !password) {
    return std::unexpected("Proxy configuration lacks a key or has one of the wrong type");
  }
  if (auto it = json->find("port"); it != json->end() && !it->is_null()) {
    auto port = base::jsonInt(*json, "port");
    if (!port) return std::unexpected("Proxy port is not an integer");
    configuration.port = *port;
  }
  configuration.proxyEnabled = *enabled;
  configuration.address = std::move(*address);
  configuration.requiresAuthentication = *authentication;
  configuration.username = std::move(*username);
  configuration.password = std::move(*password);
  return configuration;
}

}  // namespace tarnix::common
