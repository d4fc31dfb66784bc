#pragma once
// The manager of one domain as the host provides it to the extension: signalled enumerators
// lead to change enumeration (through the signal handler), downloads in progress go to the
// domain's temporary directory in the container, and the disconnected and error states are
// kept in the replica store so that `tarnix status` can show them.

#include <filesystem>
#include <functional>
#include <memory>

#include "base/Mutex.hpp"
#include "host/ReplicaStore.hpp"
#include "platform/fileprovider/Manager.hpp"

namespace tarnix::host {

namespace fp = platform::fileprovider;

class DomainManager final : public fp::Manager {
 public:
  /// Keys of the state kept in the replica store.
  static constexpr const char* kDomainStateKey = "domainState";  // "connected", "disconnected"
  static constexpr const char* kDisconnectReasonKey = "disconnectReason";
  static constexpr const char* kDisconnectTemporaryKey = "disconnectTemporary";
  static constexpr const char* kLastErrorKey = "lastError";
  static constexpr const char* kLastErrorResolvedKey = "lastErrorResolved";
  static constexpr const char* kBackingStoreIdentityKey = "backingStoreIdentity";

  DomainManager(fp::Domain domain, std::shared_ptr<ReplicaStore> store,
                std::filesystem::path temporaryDirectory, std::filesystem::path mountPoint);

  /// Runs for every signalled enumerator (on the caller's thread; it must not block).
  void setSignalHandler(std::function<void(const fp::ItemIdentifier&)> handler)
      TARNIX_EXCLUDES(mutex_);
  /// Records an error the host met (shown by status until the extension says it is resolved).
  void recordError(const std::string& description);

  const fp::Domain& domain() const override { return domain_; }
  void signalEnumerator(const fp::ItemIdentifier& containerItemIdentifier,
                        Completion completion) override;
  std::expected<std::filesystem::path, fp::Error> temporaryDirectoryURL() override;
  void disconnect(std::string reason, fp::DomainDisconnectionOptions options,
                  Completion completion) override;
  void signalErrorResolved(const fp::Error& error, Completion completion) override;
  std::optional<fp::Data> backingStoreIdentity() const override;
  void getUserVisibleURL(
      const fp::ItemIdentifier& itemIdentifier,
      std::function<void(std::expected<std::filesystem::path, fp::Error>)> completion) override;

 private:
  fp::Domain domain_;
  std::shared_ptr<ReplicaStore> store_;
  std::filesystem::path temporaryDirectory_;
  std::filesystem::path mountPoint_;
  base::Mutex mutex_;
  std::function<void(const fp::ItemIdentifier&)> signalHandler_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace tarnix::host
