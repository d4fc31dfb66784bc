#pragma once
// Runs an action for an item once a burst of requests for that item has settled: each call
// replaces the pending action of its item and starts its delay again. Items do not delay each
// other.
//
// Thread-safe. The dictionary of pending work lives on the serial queue "com.tarnix.debouncer",
// where the actions run too. Destruction cancels every pending action and waits for a running
// one.

#include <atomic>
#include <functional>
#include <memory>
#include <unordered_map>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"

namespace tarnix::fileprovider {

class ItemDebouncer {
 public:
  /// `delay` in seconds, of `clock` (null: the system's).
  explicit ItemDebouncer(double delay, std::shared_ptr<base::Clock> clock = nullptr);
  ~ItemDebouncer();
  ItemDebouncer(const ItemDebouncer&) = delete;
  ItemDebouncer& operator=(const ItemDebouncer&) = delete;

  double delay() const { return delay_.load(); }
  /// Applies to requests made from now on; pending actions keep the delay they started with.
  void setDelay(double delay);
  void debounce(const platform::fileprovider::ItemIdentifier& identifier,
                std::function<void()> action);

 private:
  base::DispatchQueue queue_;
  std::unordered_map<platform::fileprovider::ItemIdentifier,
                     std::shared_ptr<base::DispatchWorkItem>>
      workItems_;  // on queue_
  std::atomic<double> delay_;
};

}  // namespace tarnix::fileprovider
