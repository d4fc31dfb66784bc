#include "host/DomainManager.hpp"

#include <system_error>

#include "base/PrivateFiles.hpp"
#include "base/Uuid.hpp"

namespace tarnix::host {

DomainManager::DomainManager(fp::Domain domain, std::shared_ptr<ReplicaStore> store,
                             std::filesystem::path temporaryDirectory,
                             std::filesystem::path mountPoint)
    : domain_(std::move(domain)),
      store_(std::move(store)),
      temporaryDirectory_(std::move(temporaryDirectory)),
      mountPoint_(std::move(mountPoint)) {
  if (auto identity = store_->state(kBackingStoreIdentityKey); identity && !*identity)
    (void)store_->setState(kBackingStoreIdentityKey, base::makeUuid());
  (void)store_->setState(kDomainStateKey, "connected");
  (void)store_->setState(kDisconnectReasonKey, std::nullopt);
}

void DomainManager::setSignalHandler(std::function<void(const fp::ItemIdentifier&)> handler) {
  base::MutexLock lock(mutex_);
  signalHandler_ = std::move(handler);
}

void DomainManager::recordError(const std::string& description) {
  (void)store_->setState(kLastErrorKey, description);
  (void)store_->setState(kLastErrorResolvedKey, std::nullopt);
}

void DomainManager::signalEnumerator(const fp::ItemIdentifier& containerItemIdentifier,
                                     Completion completion) {
  std::function<void(const fp::ItemIdentifier&)> handler;
  {
    base::MutexLock lock(mutex_);
    handler = signalHandler_;
  }
  if (handler) handler(containerItemIdentifier);
  if (completion) completion(std::nullopt);
}

std::expected<std::filesystem::path, fp::Error> DomainManager::temporaryDirectoryURL() {
  std::error_code ec = base::createPrivateDirectories(temporaryDirectory_);
  if (ec) return std::unexpected(fp::Error::fromErrorCode(ec));
  return temporaryDirectory_;
}

void DomainManager::disconnect(std::string reason, fp::DomainDisconnectionOptions options,
                               Completion completion) {
  (void)store_->setState(kDomainStateKey, "disconnected");
  (void)store_->setState(kDisconnectReasonKey, reason);
  (void)store_->setState(
      kDisconnectTemporaryKey,
      fp::contains(options, fp::DomainDisconnectionOptions::temporary) ? "yes" : "no");
  if (completion) completion(std::nullopt);
}

void DomainManager::signalErrorResolved(const fp::Error& error, Completion completion) {
  (void)store_->setState(kLastErrorResolvedKey, error.description());
  (void)store_->setState(kLastErrorKey, std::nullopt);
  if (completion) completion(std::nullopt);
}

std::optional<fp::Data> DomainManager::backingStoreIdentity() const {
  auto identity = store_->state(kBackingStoreIdentityKey);
  if (!identity || !*identity) return std::nullopt;
  return **identity;
}

void DomainManager::getUserVisibleURL(
    const fp::ItemIdentifier& itemIdentifier,
    std::function<void(std::expected<std::filesystem::path, fp::Error>)> completion) {
  std::vector<std::string> names;
  auto entry = store_->entry(itemIdentifier);
  // Bounded walk: a damaged store must not loop.
  for (int depth = 0; depth < 4096 && entry && *entry && (*entry)->inode != kRootInode; ++depth) {
    names.push_back((*entry)->filename);
    entry = store_->entry((*entry)->parentInode);
  }
  if (!entry || !*entry || (*entry)->inode != kRootInode)
    return completion(std::unexpected(fp::Error::forNonExistentItem(itemIdentifier)));
  std::filesystem::path path = mountPoint_;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path /= *it;
  completion(path);
}

}  // namespace tarnix::host
