#include "base/DispatchQueue.hpp"

#include "base/Clock.hpp"
#include "base/detail/SharedPool.hpp"

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace tarnix::base {

// Never destroyed: blocks may still be queued while static objects are torn down at exit, and
// they must find a live executor. Blocks may block on other queues (`sync`), so the pool is
// larger than the number of cores.
boost::asio::thread_pool& detail::sharedPool() {
  static auto* pool = new boost::asio::thread_pool(
      std::max<std::size_t>(16, 4 * std::max(1u, std::thread::hardware_concurrency())));
  return *pool;
}

void detail::runOnPoolAfter(std::chrono::steady_clock::duration delay,
                            std::function<void()> block) {
  auto timer = std::make_shared<boost::asio::steady_timer>(sharedPool().get_executor(), delay);
  timer->async_wait(
      [timer, block = std::move(block)](const boost::system::error_code&) { block(); });
}

namespace {

using detail::sharedPool;

thread_local DispatchQueue* tCurrentQueue = nullptr;

}  // namespace

void DispatchWorkItem::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  block_ = nullptr;  // releases what the block captured
}

bool DispatchWorkItem::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void DispatchWorkItem::perform() {
  std::function<void()> block;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_ || performed_) return;
    performed_ = true;
    block = std::move(block_);
    block_ = nullptr;
  }
  if (block) block();
}

struct DispatchQueue::Impl {
  explicit Impl(DispatchQueue* owner)
      : owner(owner), strand(boost::asio::make_strand(sharedPool().get_executor())) {}
  // Cleared by the queue's destructor while a block may be starting on a pool thread.
  std::atomic<DispatchQueue*> owner;
  boost::asio::strand<boost::asio::thread_pool::executor_type> strand;
};

DispatchQueue::DispatchQueue(std::string label, std::shared_ptr<base::Clock> clock)
    : label_(std::move(label)), clock_(std::move(clock)), impl_(std::make_shared<Impl>(this)) {
  if (clock_ && clock_->isSystem()) clock_.reset();
}

DispatchQueue::~DispatchQueue() {
  // Blocks still queued keep the strand alive through `impl_` copies; they run without a queue
  // identity once the owner is gone.
  impl_->owner.store(nullptr);
}

void DispatchQueue::async(std::function<void()> block) {
  boost::asio::post(impl_->strand, [impl = impl_, block = std::move(block)] {
    DispatchQueue* previous = tCurrentQueue;
    tCurrentQueue = impl->owner.load();
    block();
    tCurrentQueue = previous;
  });
}

std::shared_ptr<DispatchWorkItem> DispatchQueue::asyncAfter(Clock::duration delay,
                                                            std::function<void()> block) {
  auto item = std::make_shared<DispatchWorkItem>(std::move(block));
  asyncAfter(delay, item);
  return item;
}

void DispatchQueue::asyncAfter(Clock::duration delay, std::shared_ptr<DispatchWorkItem> item) {
  const auto perform = [impl = impl_, item = std::move(item)] {
    DispatchQueue* previous = tCurrentQueue;
    tCurrentQueue = impl->owner.load();
    item->perform();
    tCurrentQueue = previous;
  };
  if (clock_) {
    // Another clock decides when; the block still runs on this queue.
    (void)clock_->after(
        delay, [strand = impl_->strand, perform]() mutable { boost::asio::post(strand, perform); });
    return;
  }
  auto timer = std::make_shared<boost::asio::steady_timer>(impl_->strand, delay);
  timer->async_wait([timer, perform](const boost::system::error_code&) { perform(); });
}

bool DispatchQueue::isCurrent() const {
  return tCurrentQueue == this;
}

DispatchQueue* DispatchQueue::current() {
  return tCurrentQueue;
}

void DispatchQueue::checkNotCurrent() const {
  if (isCurrent()) {
    std::fprintf(stderr, "DispatchQueue.sync called on its own queue \"%s\": deadlock\n",
                 label_.c_str());
    std::abort();
  }
}

void DispatchQueue::drain() {
  sync([] {});
}

void DispatchGroup::enter() {
  std::lock_guard lock(mutex_);
  ++count_;
}

void DispatchGroup::leave() {
  std::vector<std::pair<DispatchQueue*, std::function<void()>>> ready;
  {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return;
    if (--count_ > 0) return;
    ready.swap(notifications_);
  }
  emptied_.notify_all();
  for (auto& [queue, block] : ready) queue->async(std::move(block));
}

void DispatchGroup::notify(DispatchQueue& queue, std::function<void()> block) {
  {
    std::lock_guard lock(mutex_);
    if (count_ > 0) {
      notifications_.emplace_back(&queue, std::move(block));
      return;
    }
  }
  queue.async(std::move(block));
}

void DispatchGroup::wait() {
  std::unique_lock lock(mutex_);
  emptied_.wait(lock, [this] { return count_ == 0; });
}

bool DispatchGroup::waitFor(std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(mutex_);
  return emptied_.wait_for(lock, timeout, [this] { return count_ == 0; });
}

}  // namespace tarnix::base
