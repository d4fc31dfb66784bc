#pragma once
// Where the host finds the extension of a domain: the provider registers its factory here when
// the programme starts (what the system does with initWithDomain: on the other platform). Until
// one is registered `tarnix mount` says that no provider is available.

#include <optional>

#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::host {

/// Replaces the registered factory (any thread).
void registerExtensionFactory(platform::fileprovider::ExtensionFactory factory);
/// The registered factory, if any.
std::optional<platform::fileprovider::ExtensionFactory> registeredExtensionFactory();

}  // namespace tarnix::host
