#pragma once
// One domain started the way the system starts it, for commands that answer from a drive's
// item database: the process globals over the shared container, a manager for the domain, and
// the extension through FileProviderWrapper. Items are reached by path from the root container
// through enumerators, as a host reaches them.
//
// For one thread; the domain is invalidated when the session goes.

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/FileProviderGlobals.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::host {

namespace fp = platform::fileprovider;

class DomainSession {
 public:
  /// Opens the container at the environment's location and starts the domain of the drive
  /// whose identifier or label is `drive`. Fails with a sentence for the user.
  static std::expected<std::unique_ptr<DomainSession>, std::string> open(const std::string& drive);
  ~DomainSession();

  fp::ReplicatedExtension& extension() { return *extension_; }

  /// The item at `path` ("" or "/" is the root), names matched exactly and else without case.
  std::expected<fp::ItemPtr, std::string> itemAtPath(const std::string& path);
  /// Every child of the folder `container`, page by page.
  std::expected<std::vector<fp::ItemPtr>, std::string> children(
      const fp::ItemIdentifier& container);
  std::expected<fp::ItemPtr, std::string> item(const fp::ItemIdentifier& identifier);

 private:
  DomainSession() = default;

  std::shared_ptr<fileprovider::FileProviderGlobals> globals_;
  std::shared_ptr<fp::Manager> manager_;
  std::shared_ptr<fp::ReplicatedExtension> extension_;
};

/// Makes the file provider the extension that `tarnix mount` starts for each domain, over the
/// process's globals.
void registerFileProviderExtension();

}  // namespace tarnix::host
