#include "host/ExtensionRegistry.hpp"

#include "base/Mutex.hpp"

namespace tarnix::host {
namespace {
base::Mutex gMutex;
std::optional<platform::fileprovider::ExtensionFactory> gFactory TARNIX_GUARDED_BY(gMutex);
}  // namespace

void registerExtensionFactory(platform::fileprovider::ExtensionFactory factory) {
  base::MutexLock lock(gMutex);
  if (factory)
    gFactory = std::move(factory);
  else
    gFactory.reset();
}

std::optional<platform::fileprovider::ExtensionFactory> registeredExtensionFactory() {
  base::MutexLock lock(gMutex);
  return gFactory;
}

}  // namespace tarnix::host
