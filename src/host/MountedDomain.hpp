#pragma once
// One domain mounted with FUSE: its replica store, manager, extension, content replica, change
// synchroniser and bridge, made in that order and taken down in reverse. The host's state for a
// domain lives in one folder: "Replica.db", "Contents/" and "tmp/" (downloads in progress, on
// the same file system as the contents).

#include <chrono>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "base/Logger.hpp"
#include "host/ChangeSynchronizer.hpp"
#include "host/ContentReplica.hpp"
#include "host/DomainManager.hpp"
#include "host/FuseBridge.hpp"
#include "host/ReplicaStore.hpp"

namespace tarnix::host {

struct MountOptions {
  fp::Domain domain;
  std::filesystem::path mountPoint;
  /// The domain's host state folder.
  std::filesystem::path stateDirectory;
  std::int64_t cacheLimit = std::int64_t{10} << 30;
  std::int64_t partialThreshold = std::int64_t{64} << 20;
  std::int64_t partialAlignment = std::int64_t{1} << 20;
  std::chrono::steady_clock::duration callTimeout = std::chrono::seconds(60);
  FuseBridgeOptions bridge;
};

class MountedDomain {
 public:
  static std::filesystem::path storePath(const std::filesystem::path& stateDirectory) {
    return stateDirectory / "Replica.db";
  }

  /// Opens the state, starts the extension with `factory` and mounts. The error is a sentence
  /// for the user.
  static std::expected<std::unique_ptr<MountedDomain>, std::string> mount(
      MountOptions options, const fp::ExtensionFactory& factory, base::Logger logger);
  ~MountedDomain();

  /// Serves requests on the calling thread until unmounted or (with the bridge's
  /// `handleSignals`) signalled.
  int run();
  /// Serves requests on a thread of its own.
  void runInBackground();
  /// Unmounts, stops the synchroniser and the content replica and invalidates the extension.
  /// Idempotent.
  void unmount();

  const std::shared_ptr<ReplicaStore>& store() const { return store_; }
  const std::shared_ptr<ContentReplica>& contents() const { return contents_; }
  const std::shared_ptr<ChangeSynchronizer>& synchronizer() const { return synchronizer_; }
  const std::shared_ptr<DomainManager>& manager() const { return manager_; }
  const fp::ReplicatedExtensionPtr& extension() const { return extension_; }
  const std::shared_ptr<FuseBridge>& bridge() const { return bridge_; }
  NamespaceChanges& namespaceChanges() { return bridge_->namespaceChanges(); }
  const std::filesystem::path& mountPoint() const { return options_.mountPoint; }
  /// Whether reads of present contents bypass this process (see FusePassthrough.hpp).
  bool passthroughActive() const { return bridge_ && bridge_->passthroughActive(); }

 private:
  explicit MountedDomain(MountOptions options) : options_(std::move(options)) {}
  MountOptions options_;
  std::shared_ptr<ReplicaStore> store_;
  std::shared_ptr<DomainManager> manager_;
  fp::ReplicatedExtensionPtr extension_;
  std::shared_ptr<ExtensionCalls> calls_;
  std::shared_ptr<ContentReplica> contents_;
  std::shared_ptr<FuseBridge> bridge_;
  std::shared_ptr<ChangeSynchronizer> synchronizer_;
  std::thread loop_;
  bool down_ = false;
};

}  // namespace tarnix::host
