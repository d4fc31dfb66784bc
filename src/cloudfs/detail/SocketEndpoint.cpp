#include "cloudfs/detail/SocketEndpoint.hpp"

#include <algorithm>
#include <tuple>

#include "base/HTTPHeaderName.hpp"

namespace tarnix::cloudfs::detail {

namespace {

bool isPort(std::string_view text) {
  return !text.empty() && text.size() <= 5 &&
         std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; }) &&
         std::stoi(std::string(text)) <= 65535;
}

// Splits "A:B:C:D" where A and C may be "[v6]" literals.
std::optional<std::vector<std::string>> splitMapping(std::string_view text) {
  std::vector<std::string> parts;
  std::string current;
  bool inBrackets = false;
  for (char c : text) {
    if (c == '[') inBrackets = true;
    if (c == ']') inBrackets = false;
    if (c == ':' && !inBrackets) {
      parts.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  parts.push_back(std::move(current));
  if (parts.size() != 4) return std::nullopt;
  return parts;
}

}  // namespace

std::optional<SocketEndpoint> SocketEndpoint::parse(std::string_view url) {
  constexpr std::string_view kScheme = "wss://";
  if (!url.starts_with(kScheme)) return std::nullopt;
  url.remove_prefix(kScheme.size());
  SocketEndpoint endpoint;
  auto slash = url.find_first_of("/?");
  std::string_view authority = url.substr(0, slash);
  if (slash != std::string_view::npos) {
    endpoint.target = std::string(url.substr(slash));
    if (endpoint.target.front() == '?') endpoint.target.insert(0, "/");
  }
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  std::string_view host = authority;
  if (authority.starts_with('[')) {
    auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
  } else if (auto colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
  }
  std::string_view rest = authority.substr(host.size());
  if (!rest.empty()) {
    if (rest.front() != ':' || !isPort(rest.substr(1))) return std::nullopt;
    endpoint.port = std::string(rest.substr(1));
    endpoint.explicitPort = true;
  }
  if (host.empty()) return std::nullopt;
  endpoint.host = std::string(host);
  return endpoint;
}

SocketEndpoint::Address SocketEndpoint::mapped(const std::vector<std::string>& hostMappings) const {
  for (const auto& mapping : hostMappings) {
    auto parts = splitMapping(mapping);
    if (!parts) continue;
    const auto& [fromHost, fromPort, toHost, toPort] =
        std::tie((*parts)[0], (*parts)[1], (*parts)[2], (*parts)[3]);
    if (!fromPort.empty() && !isPort(fromPort)) continue;
    if (!toPort.empty() && !isPort(toPort)) continue;
    bool hostMatches = fromHost.empty() || base::equalsIgnoringASCIICase(fromHost, host);
    bool portMatches = fromPort.empty() || fromPort == port;
    if (!hostMatches || !portMatches) continue;
    return {toHost.empty() ? host : toHost, toPort.empty() ? port : toPort};
  }
  return {host, port};
}

}  // namespace tarnix::cloudfs::detail
