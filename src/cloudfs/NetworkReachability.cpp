#include "cloudfs/NetworkReachability.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>

namespace tarnix::cloudfs {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(
      a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

// Mobile broadband devices say so in their uevent ("DEVTYPE=wwan").
bool isMobileInterface(const char* name) {
  std::ifstream uevent(std::string("/sys/class/net/") + name + "/uevent");
  std::string line;
  while (std::getline(uevent, line)) {
    if (line == "DEVTYPE=wwan") return true;
  }
  return false;
}

class SystemReachability final : public NetworkReachability {
 public:
  NetworkReachabilityStatus status(std::string_view host) const override {
    if (isLoopbackHost(host)) return NetworkReachabilityStatus::wifi;
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return NetworkReachabilityStatus::noConnection;
    bool mobile = false;
    bool other = false;
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
      if (!entry->ifa_addr) continue;
      const int family = entry->ifa_addr->sa_family;
      if (family != AF_INET && family != AF_INET6) continue;
      const unsigned flags = entry->ifa_flags;
      if (!(flags & IFF_UP) || !(flags & IFF_RUNNING) || (flags & IFF_LOOPBACK)) continue;
      if (isMobileInterface(entry->ifa_name)) {
        mobile = true;
      } else {
        other = true;
      }
    }
    ::freeifaddrs(interfaces);
    if (other) return NetworkReachabilityStatus::wifi;
    if (mobile) return NetworkReachabilityStatus::cellular;
    return NetworkReachabilityStatus::noConnection;
  }
};

}  // namespace

std::string_view description(NetworkReachabilityStatus status) {
  switch (status) {
    case NetworkReachabilityStatus::wifi:
      return "WiFi";
    case NetworkReachabilityStatus::cellular:
      return "Cellular";
    case NetworkReachabilityStatus::noConnection:
      break;
  }
  return "No Connection";
}

std::shared_ptr<NetworkReachability> NetworkReachability::system() {
  static const auto reachability = std::make_shared<SystemReachability>();
  return reachability;
}

std::string_view hostName(std::string_view host) {
  if (host.starts_with('[')) {
    const auto end = host.find(']');
    return end == std::string_view::npos ? host.substr(1) : host.substr(1, end - 1);
  }
  // One colon separates a port; more are an IPv6 address without brackets.
  const auto colon = host.find(':');
  if (colon != std::string_view::npos && host.find(':', colon + 1) == std::string_view::npos) {
    return host.substr(0, colon);
  }
  return host;
}

bool isLoopbackHost(std::string_view host) {
  auto name = hostName(host);
  if (name.ends_with('.')) name.remove_suffix(1);
  if (equalsIgnoringCase(name, "localhost")) return true;
  if (name.size() > 10 && equalsIgnoringCase(name.substr(name.size() - 10), ".localhost")) {
    return true;
  }
  const std::string text(name);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return false;
}

}  // namespace tarnix::cloudfs
