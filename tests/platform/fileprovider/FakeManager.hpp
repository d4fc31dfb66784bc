#pragma once
// An in-memory manager for tests: records what the extension asked of the system and answers
// with values the test sets. Completions run at once on the calling thread.

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/fileprovider/Manager.hpp"

namespace tarnix::testing {

class FakeManager : public platform::fileprovider::Manager {
 private:
  template <class F>
  void locked(F f) {
    std::lock_guard lock(mutex_);
    f();
  }
  template <class F>
  auto lockedCopy(F f) const {
    std::lock_guard lock(mutex_);
    return f();
  }

 public:
  using Error = platform::fileprovider::Error;
  using ItemIdentifier = platform::fileprovider::ItemIdentifier;

  struct Disconnection {
    std::string reason;
    platform::fileprovider::DomainDisconnectionOptions options;
  };

  explicit FakeManager(platform::fileprovider::Domain domain,
                       std::filesystem::path temporaryDirectory = {})
      : domain_(std::move(domain)), temporaryDirectory_(std::move(temporaryDirectory)) {}

  // What the test sets.
  void setSignalError(std::optional<Error> error) {
    locked([&] { signalError_ = std::move(error); });
  }
  void setTemporaryDirectoryError(std::optional<Error> error) {
    locked([&] { temporaryDirectoryError_ = std::move(error); });
  }
  void setBackingStoreIdentity(std::optional<platform::fileprovider::Data> identity) {
    locked([&] { backingStoreIdentity_ = std::move(identity); });
  }
  void setUserVisibleRoot(std::filesystem::path root) {
    locked([&] { userVisibleRoot_ = std::move(root); });
  }

  // What the extension did.
  std::vector<ItemIdentifier> signalledContainers() const {
    return lockedCopy([&] { return signalled_; });
  }
  std::vector<Disconnection> disconnections() const {
    return lockedCopy([&] { return disconnections_; });
  }
  std::vector<Error> resolvedErrors() const {
    return lockedCopy([&] { return resolved_; });
  }
  int temporaryDirectoryRequests() const {
    return lockedCopy([&] { return temporaryRequests_; });
  }

  const platform::fileprovider::Domain& domain() const override { return domain_; }

  void signalEnumerator(const ItemIdentifier& container, Completion completion) override {
    std::optional<Error> error;
    locked([&] {
      signalled_.push_back(container);
      error = signalError_;
    });
    completion(std::move(error));
  }

  std::expected<std::filesystem::path, Error> temporaryDirectoryURL() override {
    std::lock_guard lock(mutex_);
    ++temporaryRequests_;
    if (temporaryDirectoryError_) return std::unexpected(*temporaryDirectoryError_);
    return temporaryDirectory_;
  }

  void disconnect(std::string reason, platform::fileprovider::DomainDisconnectionOptions options,
                  Completion completion) override {
    locked([&] { disconnections_.push_back({std::move(reason), options}); });
    completion(std::nullopt);
  }

  void signalErrorResolved(const Error& error, Completion completion) override {
    locked([&] { resolved_.push_back(error); });
    completion(std::nullopt);
  }

  std::optional<platform::fileprovider::Data> backingStoreIdentity() const override {
    return lockedCopy([&] { return backingStoreIdentity_; });
  }

  void getUserVisibleURL(
      const ItemIdentifier& identifier,
      std::function<void(std::expected<std::filesystem::path, Error>)> completion) override {
    auto root = lockedCopy([&] { return userVisibleRoot_; });
    if (identifier.isRootContainer()) return completion(root);
    completion(std::unexpected(Error::forNonExistentItem(identifier)));
  }

 private:
  const platform::fileprovider::Domain domain_;
  mutable std::mutex mutex_;
  std::filesystem::path temporaryDirectory_;
  std::optional<Error> signalError_;
  std::optional<Error> temporaryDirectoryError_;
  std::optional<platform::fileprovider::Data> backingStoreIdentity_;
  std::filesystem::path userVisibleRoot_;
  std::vector<ItemIdentifier> signalled_;
  std::vector<Disconnection> disconnections_;
  std::vector<Error> resolved_;
  int temporaryRequests_ = 0;
};

}  // namespace tarnix::testing
