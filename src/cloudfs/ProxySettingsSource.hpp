#pragma once
// Where the transport learns the proxy settings and their changes.

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/URLSessionProxyConfiguration.hpp"

namespace tarnix::cloudfs {

class ProxySettingsSource {
 public:
  using Observer = std::function<void(const common::URLSessionProxyConfiguration&)>;
  virtual ~ProxySettingsSource() = default;

  /// The settings now.
  virtual common::URLSessionProxyConfiguration current() const = 0;
  /// Calls `observer` with every later value, on any thread, until the returned token is
  /// released. The observer may be called with a value equal to the previous one.
  virtual std::shared_ptr<void> observe(Observer observer) = 0;
};

/// Settings held in memory, changed by `send`: the source for processes without shared
/// preferences, and the adapter other sources can feed.
class ProxySettingsSubject final : public ProxySettingsSource {
 public:
  explicit ProxySettingsSubject(common::URLSessionProxyConfiguration initial = {});

  common::URLSessionProxyConfiguration current() const override;
  std::shared_ptr<void> observe(Observer observer) override;
  /// Stores `value` and tells every observer, on the calling thread.
  void send(const common::URLSessionProxyConfiguration& value);

 private:
  struct Subscription;
  mutable std::mutex mutex_;
  common::URLSessionProxyConfiguration value_;
  std::vector<std::weak_ptr<Subscription>> subscriptions_;
};

}  // namespace tarnix::cloudfs
