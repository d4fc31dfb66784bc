#pragma once
// The network proxy of all cloud traffic, as the desktop application stores it in the shared
// preferences ("proxySettings", JSON).

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tarnix::common {

struct URLSessionProxyConfiguration {
  static constexpr std::string_view defaultAddres = "localhost";
  static constexpr std::int64_t defaultPort = 8080;

  bool proxyEnabled = false;
  std::string address;
  std::optional<std::int64_t> port;
  bool requiresAuthentication = false;
  std::string username;
  std::string password;

  /// `address`, or "localhost" when it is empty.
  std::string addressOrDefault() const {
    return address.empty() ? std::string(defaultAddres) : address;
  }
  /// `port`, or 8080 when there is none.
  std::int64_t portOrDefault() const { return port.value_or(defaultPort); }

  bool operator==(const URLSessionProxyConfiguration&) const = default;

  /// {"proxyEnabled", "address", "port" (left out when absent), "requiresAuthentication",
  /// "username", "password"}.
  std::string jsonText() const;
  /// Reads the JSON text written by `jsonText` (or by the desktop application). A value that is
  /// not JSON, or a key of the wrong type or missing, gives an error message; "port" may be
  /// absent or null.
  static std::expected<URLSessionProxyConfiguration, std::string> fromJSONText(
      std::string_view text);
};

}  // namespace tarnix::common
