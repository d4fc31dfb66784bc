#include "base/Clock.hpp"

#include <algorithm>

#include "base/DispatchQueue.hpp"
#include "base/detail/SharedPool.hpp"

namespace tarnix::base {
namespace {

class SystemClock final : public Clock {
 public:
  Date now() const override { return std::chrono::system_clock::now(); }
  SteadyTime steadyNow() const override { return std::chrono::steady_clock::now(); }
  std::shared_ptr<DispatchWorkItem> after(Duration delay, std::function<void()> fire) override {
    auto item = std::make_shared<DispatchWorkItem>(std::move(fire));
    detail::runOnPoolAfter(delay, [item] { item->perform(); });
    return item;
  }
};

}  // namespace

const std::shared_ptr<Clock>& Clock::system() {
  // Never destroyed: timers may still fire while static objects are torn down at exit.
  static const auto* clock = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
  return *clock;
}

ManualClock::ManualClock(Date start) : wall_(start), steady_(SteadyTime{}) {}

Date ManualClock::now() const {
  MutexLock lock(mutex_);
  return wall_;
}

Clock::SteadyTime ManualClock::steadyNow() const {
  MutexLock lock(mutex_);
  return steady_;
}

std::shared_ptr<DispatchWorkItem> ManualClock::after(Duration delay, std::function<void()> fire) {
  auto item = std::make_shared<DispatchWorkItem>(std::move(fire));
  MutexLock lock(mutex_);
  timers_.push_back({steady_ + std::max(delay, Duration::zero()), nextOrder_++, item});
  return item;
}

void ManualClock::advance(Duration by) {
  SteadyTime target;
  {
    MutexLock lock(mutex_);
    target = steady_ + std::max(by, Duration::zero());
  }
  // One timer at a time, so that timers set by a firing timer within the span fire too.
  while (true) {
    std::shared_ptr<DispatchWorkItem> next;
    {
      MutexLock lock(mutex_);
      std::erase_if(timers_, [](const Timer& t) { return t.item->isCancelled(); });
      auto due =
          std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
          });
      if (due == timers_.end() || due->due > target) {
        wall_ += target - steady_;
        steady_ = target;
        return;
      }
      wall_ += due->due - steady_;
      steady_ = std::max(steady_, due->due);
      next = std::move(due->item);
      timers_.erase(due);
    }
    next->perform();
  }
}

void ManualClock::setWallTime(Date date) {
  MutexLock lock(mutex_);
  wall_ = date;
}

std::size_t ManualClock::pendingTimers() const {
  MutexLock lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      timers_.begin(), timers_.end(), [](const Timer& t) { return !t.item->isCancelled(); }));
}

}  // namespace tarnix::base
