#include "cloudfs/ProxySettingsSource.hpp"

#include <algorithm>

namespace tarnix::cloudfs {

struct ProxySettingsSubject::Subscription {
  Observer observer;
};

ProxySettingsSubject::ProxySettingsSubject(common::URLSessionProxyConfiguration initial)
    : value_(std::move(initial)) {}

common::URLSessionProxyConfiguration ProxySettingsSubject::current() const {
  std::lock_guard lock(mutex_);
  return value_;
}

std::shared_ptr<void> ProxySettingsSubject::observe(Observer observer) {
  auto subscription = std::make_shared<Subscription>(Subscription{std::move(observer)});
  std::lock_guard lock(mutex_);
  std::erase_if(subscriptions_, [](const auto& weak) { return weak.expired(); });
  subscriptions_.push_back(subscription);
  return subscription;
}

void ProxySettingsSubject::send(const common::URLSessionProxyConfiguration& value) {
  std::vector<std::shared_ptr<Subscription>> live;
  {
    std::lock_guard lock(mutex_);
    value_ = value;
    for (const auto& weak : subscriptions_) {
      if (auto subscription = weak.lock()) live.push_back(std::move(subscription));
    }
  }
  // Observers run outside the lock so that they may read `current()`.
  for (const auto& subscription : live) subscription->observer(value);
}

}  // namespace tarnix::cloudfs
