#pragma once
// A mutex, its scoped lock and a condition variable that clang's thread-safety analysis
// understands (see ThreadAnnotations.hpp). Use them instead of std::mutex wherever fields are
// shared between threads, and mark those fields TARNIX_GUARDED_BY(mutex_).

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/ThreadAnnotations.hpp"

namespace tarnix::base {

class CondVar;

class TARNIX_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() TARNIX_ACQUIRE() { mutex_.lock(); }
  void unlock() TARNIX_RELEASE() { mutex_.unlock(); }
  bool tryLock() TARNIX_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  /// Tells the analysis that the caller holds the mutex (where it cannot see it); checks nothing.
  void assertHeld() const TARNIX_ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

/// Holds `mutex` for its own lifetime.
class TARNIX_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) TARNIX_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() TARNIX_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

/// A condition variable bound to one Mutex; every call needs that mutex held.
class CondVar {
 public:
  explicit CondVar(Mutex* mutex) : mutex_(mutex) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  /// Waits for a notification (or a spurious wake-up); the mutex is held again on return.
  void wait() TARNIX_NO_THREAD_SAFETY_ANALYSIS {
    std::unique_lock lock(mutex_->mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  /// Waits until `done()` holds. `done` runs with the mutex held.
  template <class Predicate>
  void wait(Predicate done) TARNIX_NO_THREAD_SAFETY_ANALYSIS {
    while (!done()) wait();
  }
  /// Waits until `done()` holds or `deadline` passes; returns `done()`.
  template <class Clock, class Duration, class Predicate>
  bool waitUntil(std::chrono::time_point<Clock, Duration> deadline,
                 Predicate done) TARNIX_NO_THREAD_SAFETY_ANALYSIS {
    std::unique_lock lock(mutex_->mutex_, std::adopt_lock);
    const bool result = cv_.wait_until(lock, deadline, done);
    lock.release();
    return result;
  }
  template <class Rep, class Period, class Predicate>
  bool waitFor(std::chrono::duration<Rep, Period> timeout, Predicate done) {
    return waitUntil(std::chrono::steady_clock::now() + timeout, std::move(done));
  }
  void signal() { cv_.notify_one(); }
  void signalAll() { cv_.notify_all(); }

 private:
  Mutex* const mutex_;
  std::condition_variable cv_;
};

}  // namespace tarnix::base
