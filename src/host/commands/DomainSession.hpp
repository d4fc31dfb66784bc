#pragma once
// One domain started the way the system starts it, for commands that answer from a drive:
// the process globals over the shared container, a manager for the domain, and the extension
// through FileProviderWrapper. Items are reached by path from the root container through
// enumerators, as the mount reaches them: each folder on the way is presented, which has the
// extension list it from the cloud when it was never listed or its listing is stale, and the
// command waits (bounded) for that listing. A listing that fails or does not end in time is an
// error naming the folder and the cause.
//
// A session serves the drive (holding its lock, see ServedDrive.hpp) when no other process
// does; beside a process that serves it, it reads only and leaves the drive's deferred work to
// that process.
//
// For one thread; the domain is invalidated when the session goes.

#include <chrono>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/FileProviderGlobals.hpp"
#include "host/ExtensionCalls.hpp"
#include "host/commands/ServedDrive.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::host {

namespace fp = platform::fileprovider;

class DomainSession {
 public:
  /// Opens the container at the environment's location and starts the domain of the drive
  /// whose identifier or label is `drive`. Fails with a sentence for the user.
  /// For a command that reads the drive.
  static std::expected<std::unique_ptr<DomainSession>, std::string> open(const std::string& drive);
  static std::expected<std::unique_ptr<DomainSession>, std::string> open(
      const ResolvedDrive& drive);
  /// For a command that holds `lock`, the lock of `drive`, and serves the drive.
  static std::expected<std::unique_ptr<DomainSession>, std::string> open(
      const ResolvedDrive& drive, std::unique_ptr<DriveLock> lock);
  ~DomainSession();

  /// How long a command waits for a folder's listing: longer than a request to the cloud may
  /// take, so that a slow cloud's own error arrives first.
  static constexpr std::chrono::seconds kListingWait{150};

  fp::ReplicatedExtension& extension() { return *extension_; }
  const ExtensionCalls& calls() const { return *calls_; }
  /// The drive's cloud host, for messages.
  const std::string& cloudHost() const { return domain_; }

  /// Why `lookUp` found no item: ENOENT (a name on the way is missing), ENOTDIR (a file on
  /// the way) or 0 (a listing failed); `message` is the sentence for the user.
  struct LookupFailure {
    int errnoValue = 0;
    std::string message;
  };
  /// The item at `path` ("" or "/" is the root), names matched exactly and else without case;
  /// the folders on the way are listed first (the root too when it is the item).
  std::expected<fp::ItemPtr, LookupFailure> lookUp(const std::string& path);
  /// `lookUp` with the failure's sentence.
  std::expected<fp::ItemPtr, std::string> itemAtPath(const std::string& path);
  /// The child of `folder` (found at `path`) named `name`, exactly or else without case; none
  /// when there is no such child.
  std::expected<fp::ItemPtr, std::string> child(const fp::Item& folder, const std::string& path,
                                                const std::string& name);
  /// Every child of `folder` (found at `path`), listed first, page by page.
  std::expected<std::vector<fp::ItemPtr>, std::string> children(const fp::Item& folder,
                                                                const std::string& path);
  std::expected<fp::ItemPtr, std::string> item(const fp::ItemIdentifier& identifier);

 private:
  DomainSession() = default;
  /// `lock` null: another process serves the drive.
  static std::expected<std::unique_ptr<DomainSession>, std::string> start(
      const ResolvedDrive& drive, std::unique_ptr<DriveLock> lock);
  /// "<path>: cannot list the folder: <cause>".
  std::string listingFailure(const std::string& path, const CallError& error) const;

  // Declared first: released only once the provider below is gone.
  std::unique_ptr<DriveLock> lock_;
  std::shared_ptr<fileprovider::FileProviderGlobals> globals_;
  std::shared_ptr<fp::Manager> manager_;
  std::shared_ptr<fp::ReplicatedExtension> extension_;
  std::unique_ptr<ExtensionCalls> calls_;
  /// The drive's cloud host, for messages.
  std::string domain_;
};

/// Makes the file provider the extension that `tarnix mount` starts for each domain, over the
/// process's globals.
void registerFileProviderExtension();

}  // namespace tarnix::host
