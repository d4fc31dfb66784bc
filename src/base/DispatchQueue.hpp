#pragma once
// Serial work queues on one process-wide thread pool.
//
// A DispatchQueue runs the blocks given to it one at a time, in the order they were submitted,
// on some thread of the shared pool (a Boost.Asio strand). An object that owns a queue touches
// its mutable state only from blocks running on that queue.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

namespace tarnix::base {

class Clock;
class DispatchQueue;

/// A block scheduled with `asyncAfter`. `cancel()` keeps it from running if it has not started;
/// it is safe to call from any thread, any number of times.
class DispatchWorkItem {
 public:
  explicit DispatchWorkItem(std::function<void()> block) : block_(std::move(block)) {}
  void cancel();
  bool isCancelled() const;
  /// Runs the block unless cancelled; the block runs at most once.
  void perform();

 private:
  mutable std::mutex mutex_;
  std::function<void()> block_;
  bool cancelled_ = false;
  bool performed_ = false;
};

class DispatchQueue {
 public:
  using Clock = std::chrono::steady_clock;

  /// A new serial queue. The label names it in logs and debuggers ("com.tarnix.SyncService").
  /// Its timers (`asyncAfter`) follow `clock`, the system's when none is given.
  explicit DispatchQueue(std::string label, std::shared_ptr<base::Clock> clock = nullptr);
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  static std::shared_ptr<DispatchQueue> make(std::string label,
                                             std::shared_ptr<base::Clock> clock = nullptr) {
    return std::make_shared<DispatchQueue>(std::move(label), std::move(clock));
  }

  const std::string& label() const { return label_; }

  /// Submits `block`; returns at once. Blocks run in submission order, one at a time.
  void async(std::function<void()> block);

  /// Runs `block` on this queue and waits for its result. Calling it from a block that is
  /// running on this same queue would deadlock; it is a programming error and aborts the
  /// process with a message naming the queue.
  template <class F>
  auto sync(F&& block) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    checkNotCurrent();
    std::packaged_task<R()> task(std::forward<F>(block));
    auto future = task.get_future();
    async([&task] { task(); });
    return future.get();
  }

  /// Runs `block` after `delay` unless the returned item is cancelled first.
  std::shared_ptr<DispatchWorkItem> asyncAfter(Clock::duration delay, std::function<void()> block);
  /// Runs `item` after `delay` unless it is cancelled first.
  void asyncAfter(Clock::duration delay, std::shared_ptr<DispatchWorkItem> item);

  /// True when called from a block running on this queue.
  bool isCurrent() const;
  /// The queue whose block is running on the calling thread, if any.
  static DispatchQueue* current();

  /// Waits until every block submitted before this call has run (not callable on this queue).
  void drain();

 private:
  void checkNotCurrent() const;
  struct Impl;
  std::string label_;
  std::shared_ptr<base::Clock> clock_;  // null: the system's
  std::shared_ptr<Impl> impl_;
};

/// Tracks a set of unfinished tasks: `enter` before each starts, `leave` when each ends.
class DispatchGroup {
 public:
  DispatchGroup() = default;
  DispatchGroup(const DispatchGroup&) = delete;
  DispatchGroup& operator=(const DispatchGroup&) = delete;

  void enter();
  /// Ends one task. Leaving more often than entering is a programming error and is ignored.
  void leave();
  /// Runs `block` on `queue` once the group is empty (at once if it is empty now). Each
  /// notification runs once.
  void notify(DispatchQueue& queue, std::function<void()> block);
  /// Waits until the group is empty.
  void wait();
  /// Waits until the group is empty or `timeout` passed; true when it became empty.
  bool waitFor(std::chrono::steady_clock::duration timeout);

 private:
  std::mutex mutex_;
  std::condition_variable emptied_;
  int count_ = 0;
  std::vector<std::pair<DispatchQueue*, std::function<void()>>> notifications_;
};

}  // namespace tarnix::base
