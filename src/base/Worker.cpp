#include "base/Worker.hpp"

#include <pthread.h>

#include <algorithm>

namespace tarnix::base {

Worker::Worker(std::string name, std::size_t threads)
    : name_(std::move(name)), threadCount_(std::max<std::size_t>(1, threads)) {}

Worker::~Worker() {
  stop();
}

void Worker::start() {
  {
    MutexLock lock(mutex_);
    if (started_ || stopping_) return;
    started_ = true;
  }
  threads_.reserve(threadCount_);
  for (std::size_t i = 0; i < threadCount_; ++i) {
    threads_.emplace_back([this] { run(); });
    (void)::pthread_setname_np(threads_.back().native_handle(), name_.substr(0, 15).c_str());
  }
}

bool Worker::post(std::function<void()> job) {
  {
    MutexLock lock(mutex_);
    if (stopping_) return false;
    jobs_.push_back(std::move(job));
  }
  wake_.signal();
  return true;
}

void Worker::stop() {
  std::deque<std::function<void()>> dropped;
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    dropped.swap(jobs_);
  }
  wake_.signalAll();
  idle_.signalAll();
  for (auto& thread : threads_)
    if (thread.joinable()) thread.join();
  // Dropped jobs are destroyed outside the lock: what they capture may post or stop in turn.
  dropped.clear();
}

void Worker::waitUntilIdle() {
  MutexLock lock(mutex_);
  idle_.wait([&]()
                 TARNIX_REQUIRES(mutex_) { return stopping_ || (jobs_.empty() && running_ == 0); });
}

bool Worker::isWorkerThread() const {
  const auto self = std::this_thread::get_id();
  return std::any_of(threads_.begin(), threads_.end(),
                     [&](const std::thread& t) { return t.get_id() == self; });
}

void Worker::run() {
  while (true) {
    std::function<void()> job;
    {
      MutexLock lock(mutex_);
      wake_.wait([&]() TARNIX_REQUIRES(mutex_) { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      ++running_;
    }
    job();
    job = nullptr;
    bool nowIdle = false;
    {
      MutexLock lock(mutex_);
      --running_;
      nowIdle = jobs_.empty() && running_ == 0;
    }
    if (nowIdle) idle_.signalAll();
  }
}

}  // namespace tarnix::base
