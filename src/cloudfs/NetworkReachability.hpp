#pragma once
// Whether this machine has a way to a host at all, before anything is sent: the stand-in for
// the platform's reachability of a host name. The network monitor asks it before each heart
// beat and logs what it says ("Network reachability = WiFi").
//
// Thread-safe.

#include <memory>
#include <string_view>

namespace tarnix::cloudfs {

enum class NetworkReachabilityStatus {
  /// Through an interface other than a mobile one: wired and wireless alike, and the loopback
  /// interface for a host on this machine.
  wifi,
  /// Through a mobile broadband interface only.
  cellular,
  /// No interface is up that could carry a request.
  noConnection,
};

/// "WiFi", "Cellular", "No Connection".
std::string_view description(NetworkReachabilityStatus status);

class NetworkReachability {
 public:
  virtual ~NetworkReachability() = default;
  /// How `host` ("name", "name:port", "[v6]:port") would be reached now.
  virtual NetworkReachabilityStatus status(std::string_view host) const = 0;

  /// The machine's interfaces: a loopback host is reachable through the loopback interface;
  /// any other needs an interface that is up, running and has an address ("wwan" devices count
  /// as cellular).
  static std::shared_ptr<NetworkReachability> system();
};

/// The host name of "name", "name:port" or "[v6]:port", without brackets and port.
std::string_view hostName(std::string_view host);

/// True for "localhost", "*.localhost" and the loopback addresses (127.0.0.0/8, ::1).
bool isLoopbackHost(std::string_view host);

}  // namespace tarnix::cloudfs
