#pragma once
// One answer, given once from any thread and awaited for a bounded time by one waiter. A waiter
// that gives up abandons the answer: a later give() is refused and abandoned() says why, so that
// the giver can clean up what the answer holds (a downloaded file, say).

#include <chrono>
#include <optional>

#include "base/Mutex.hpp"

namespace tarnix::host {

template <class T>
class Awaited {
 public:
  /// Stores `value`; false (and `value` dropped) when an answer was given before or the waiter
  /// gave up.
  bool give(T value) TARNIX_EXCLUDES(mutex_) {
    {
      base::MutexLock lock(mutex_);
      if (value_ || abandoned_) return false;
      value_ = std::move(value);
    }
    given_.signalAll();
    return true;
  }
  /// Whether the waiter gave up before an answer came.
  bool abandoned() TARNIX_EXCLUDES(mutex_) {
    base::MutexLock lock(mutex_);
    return abandoned_;
  }
  /// The answer once given; none when `timeout` passed first (the answer is then abandoned).
  template <class Rep, class Period>
  std::optional<T> wait(std::chrono::duration<Rep, Period> timeout) TARNIX_EXCLUDES(mutex_) {
    base::MutexLock lock(mutex_);
    given_.waitFor(timeout, [&]() TARNIX_REQUIRES(mutex_) { return value_.has_value(); });
    if (!value_) abandoned_ = true;
    return std::move(value_);
  }

 private:
  base::Mutex mutex_;
  base::CondVar given_{&mutex_};
  std::optional<T> value_ TARNIX_GUARDED_BY(mutex_);
  bool abandoned_ TARNIX_GUARDED_BY(mutex_) = false;
};

}  // namespace tarnix::host
