#include "host/ExtensionRegistry.hpp"

#include <mutex>

namespace tarnix::host {
namespace {
std::mutex gMutex;
std::optional<platform::fileprovider::ExtensionFactory> gFactory;
}  // namespace

void registerExtensionFactory(platform::fileprovider::ExtensionFactory factory) {
  std::lock_guard lock(gMutex);
  if (factory)
    gFactory = std::move(factory);
  else
    gFactory.reset();
}

std::optional<platform::fileprovider::ExtensionFactory> registeredExtensionFactory() {
  std::lock_guard lock(gMutex);
  return gFactory;
}

}  // namespace tarnix::host
