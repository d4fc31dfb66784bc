#pragma once
// A service the extension offers for an item to companion applications: a name, and an
// endpoint the host hands to the application that asks for the service. On this platform an
// endpoint is a Unix-domain socket carrying JSON messages.

#include <expected>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/fileprovider/Error.hpp"

namespace tarnix::platform::fileprovider {

struct ServiceEndpoint {
  std::filesystem::path socketPath;
  bool operator==(const ServiceEndpoint&) const = default;
};

class ServiceSource {
 public:
  virtual ~ServiceSource() = default;
  /// For example "com.tarnix.ExtensionInstance".
  virtual std::string serviceName() const = 0;
  /// Starts listening (when not yet listening) and returns where to connect.
  virtual std::expected<ServiceEndpoint, Error> makeListenerEndpoint() = 0;
};

using ServiceSourcePtr = std::shared_ptr<ServiceSource>;

}  // namespace tarnix::platform::fileprovider
