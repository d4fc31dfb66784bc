#pragma once
// The one seam for time: wall time, steady time and timers. Services that expire, back off,
// debounce or judge freshness take a Clock (the system's unless a test hands them another), so
// that a test advances time instead of sleeping.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "base/Date.hpp"
#include "base/Mutex.hpp"

namespace tarnix::base {

class DispatchWorkItem;

class Clock {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  virtual ~Clock() = default;
  /// Wall time (may jump).
  virtual Date now() const = 0;
  /// Monotonic time, for intervals and deadlines.
  virtual SteadyTime steadyNow() const = 0;
  /// Calls `fire` once, after `delay` of this clock's steady time, on a thread of the clock's
  /// choosing (the system clock: a thread of the process-wide pool; a manual clock: the thread
  /// that advances it). Cancelling the returned item before then keeps `fire` from running.
  virtual std::shared_ptr<DispatchWorkItem> after(Duration delay, std::function<void()> fire) = 0;

  /// The process's clock.
  static const std::shared_ptr<Clock>& system();
  /// True for the process's clock.
  bool isSystem() const { return this == system().get(); }
};

/// A clock that stands still until told to move: for tests of expiry, back-off and freshness.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(Date start = std::chrono::system_clock::now());
  static std::shared_ptr<ManualClock> make(Date start = std::chrono::system_clock::now()) {
    return std::make_shared<ManualClock>(start);
  }

  Date now() const override;
  SteadyTime steadyNow() const override;
  std::shared_ptr<DispatchWorkItem> after(Duration delay, std::function<void()> fire) override;

  /// Moves wall and steady time forward by `by` and fires, in the order they fall due and on the
  /// calling thread, every timer due by then (including timers that those timers set).
  void advance(Duration by);
  /// Sets the wall time alone (a change of the system's clock); steady time and timers stay.
  void setWallTime(Date date);
  /// Timers set and neither fired nor cancelled.
  std::size_t pendingTimers() const;

 private:
  struct Timer {
    SteadyTime due;
    std::uint64_t order;
    std::shared_ptr<DispatchWorkItem> item;
  };
  mutable Mutex mutex_;
  Date wall_ TARNIX_GUARDED_BY(mutex_);
  SteadyTime steady_ TARNIX_GUARDED_BY(mutex_);
  std::uint64_t nextOrder_ TARNIX_GUARDED_BY(mutex_) = 0;
  std::vector<Timer> timers_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace tarnix::base
