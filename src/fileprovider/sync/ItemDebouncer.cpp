#include "fileprovider/sync/ItemDebouncer.hpp"

#include <chrono>
#include <cmath>

namespace tarnix::fileprovider {

namespace {

double validDelay(double delay) {
  return delay > 0 && std::isfinite(delay) ? delay : 0;
}

}  // namespace

ItemDebouncer::ItemDebouncer(double delay, std::shared_ptr<base::Clock> clock)
    : queue_("com.tarnix.debouncer", std::move(clock)), delay_(validDelay(delay)) {}

void ItemDebouncer::setDelay(double delay) {
  delay_ = validDelay(delay);
}

ItemDebouncer::~ItemDebouncer() {
  queue_.sync([this] {
    for (auto& [identifier, item] : workItems_) item->cancel();
    workItems_.clear();
  });
}

void ItemDebouncer::debounce(const platform::fileprovider::ItemIdentifier& identifier,
                             std::function<void()> action) {
  queue_.async([this, identifier, action = std::move(action)]() mutable {
    if (auto pending = workItems_.find(identifier); pending != workItems_.end()) {
      pending->second->cancel();
    }
    auto item = std::make_shared<base::DispatchWorkItem>([this, identifier, action] {
      workItems_.erase(identifier);
      action();
    });
    workItems_[identifier] = item;
    queue_.asyncAfter(std::chrono::duration_cast<base::DispatchQueue::Clock::duration>(
                          std::chrono::duration<double>(delay_.load())),
                      item);
  });
}

}  // namespace tarnix::fileprovider
