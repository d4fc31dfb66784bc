#include "common/AccountAuthentication.hpp"

#include "base/JSONValue.hpp"

namespace tarnix::common {

std::string AccountAuthentication::jsonText() const {
  base::JSONValue json = base::JSONValue::object();
  if (const auto* basic = std::get_if<Basic>(&value)) {
    json["basic"] = base::JSONValue{{"password", basic->password}};
  } else {
    const auto& oauth = std::get<OAuth>(value);
    json["oauth"] =
        base::JSONValue{{"accessToken", oauth.accessToken}, {"refreshToken", oauth.refreshToken}};
  }
  return base::dumpJSON(json);
}

std::expected<AccountAuthentication, AccountAuthenticationError>
AccountAuthentication::fromJSONText(std::string_view text) {
  auto json = base::parseJSON(text);
  // The parser's message quotes the input, which holds secrets: say only what went wrong.
  if (!json) return std::unexpected(AccountAuthenticationError{"The data is not valid JSON."});
  if (!json->is_object()) {
    return std::unexpected(AccountAuthenticationError{"Expected a JSON object."});
  }
  if (json->size() != 1) {
    return std::unexpected(
        AccountAuthenticationError{"Invalid number of keys found, expected one."});
  }
  auto member = json->begin();
  const std::string key = member.key();
  const base::JSONValue& payload = member.value();
  if (key == "basic") {
    auto password = base::jsonString(payload, "password");
    if (!payload.is_object() || !password) {
      return std::unexpected(AccountAuthenticationError{"Key \"basic\" lacks \"password\"."});
    }
    return basic(std::move(*password));
  }
  if (key == "oauth") {
    auto access = base::jsonString(payload, "accessToken");
    auto refresh = base::jsonString(payload, "refreshToken");
    if (!payload.is_object() || !access || !refresh) {
      return std::unexpected(
          AccountAuthenticationError{"Key \"oauth\" lacks \"accessToken\" or \"refreshToken\"."});
    }
    return oauth(std::move(*access), std::move(*refresh));
  }
  return std::unexpected(AccountAuthenticationError{"Unknown authentication kind."});
}

}  // namespace tarnix::common
