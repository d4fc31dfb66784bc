#pragma once
// Where a "wss://" URL leads: its host, port and target, and where the host mappings
// ("HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT", as for the HTTP transfers) send the connection.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix::cloudfs::detail {

struct SocketEndpoint {
  /// The URL's host (an IPv6 address keeps its brackets).
  std::string host;
  /// The URL's port, "443" when it gives none.
  std::string port = "443";
  bool explicitPort = false;
  /// Path and query ("/" when the URL has none).
  std::string target = "/";

  struct Address {
    std::string host;
    std::string port;
    bool operator==(const Address&) const = default;
  };

  /// None unless `url` is "wss://HOST[:PORT][/TARGET]" with a host and a numeric port.
  static std::optional<SocketEndpoint> parse(std::string_view url);
  /// "Host" of the upgrade: the host, with ":port" when the URL named one.
  std::string hostHeader() const { return explicitPort ? host + ":" + port : host; }
  /// The first mapping whose HOST (empty: any) and PORT (empty: any) match; its empty
  /// CONNECT-TO parts keep the URL's. Malformed mappings are skipped.
  Address mapped(const std::vector<std::string>& hostMappings) const;
};

}  // namespace tarnix::cloudfs::detail
