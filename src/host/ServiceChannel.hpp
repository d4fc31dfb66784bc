#pragma once
// The services a drive's extension offers to other programs (locking, actions), reached over
// their Unix-domain sockets with one JSON request per line ({"id", "method", "params"}) and one
// reply line ({"id", "result"} or {"id", "error": {"message", ...}}).
//
// A mount publishes the endpoints of its extension's services in its state folder, so that
// `tarnix` commands reach the process that serves the drive; a command that serves the drive
// itself asks its own extension for them.

#include <chrono>
#include <expected>
#include <filesystem>
#include <map>
#include <string>

#include "base/JSONValue.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::host {

/// Service name ("com.tarnix.Locking") to socket path.
using ServiceEndpoints = std::map<std::string, std::filesystem::path>;

/// The services the extension offers for the drive's root, listening once this returns. Fails
/// with a sentence when the extension does not answer within `wait`.
std::expected<ServiceEndpoints, std::string> rootServiceEndpoints(
    platform::fileprovider::ReplicatedExtension& extension,
    std::chrono::milliseconds wait = std::chrono::seconds(10));

/// The file in a drive's state folder where its mount publishes its endpoints.
std::filesystem::path publishedServicesFile(const std::filesystem::path& stateDirectory);
/// Writes the endpoints (0600, whole or not at all).
std::expected<void, std::string> publishServices(const std::filesystem::path& stateDirectory,
                                                 const ServiceEndpoints& endpoints);
/// What the mount published; fails with a sentence when nothing (readable) is there.
std::expected<ServiceEndpoints, std::string> readPublishedServices(
    const std::filesystem::path& stateDirectory);

/// One request to the service at `socket`: the reply's "result", or the sentence of its
/// "error" (or of the failure to reach it). Waits at most `timeout` for the reply.
std::expected<base::JSONValue, std::string> callService(
    const std::filesystem::path& socket, const std::string& method, const base::JSONValue& params,
    std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace tarnix::host
