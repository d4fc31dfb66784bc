#pragma once
// A background worker: a queue of jobs run, in order of posting, by one or more threads of its
// own. The owner starts it, posts jobs from any thread and stops it before the state the jobs
// touch goes away; the destructor stops it too.

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/Mutex.hpp"

namespace tarnix::base {

class Worker {
 public:
  /// `name` labels the threads (as shown by `ps -L`, cut to 15 bytes); `threads` >= 1.
  explicit Worker(std::string name, std::size_t threads = 1);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  /// Starts the threads; once only (later calls, and calls after stop(), do nothing).
  void start() TARNIX_EXCLUDES(mutex_);
  /// Queues `job`; false (and `job` dropped) once the worker is stopping. Jobs posted before
  /// start() wait for it.
  bool post(std::function<void()> job) TARNIX_EXCLUDES(mutex_);
  /// Drops the jobs not yet started, waits for the running ones and joins the threads.
  /// Idempotent; must not be called from one of the worker's own jobs.
  void stop() TARNIX_EXCLUDES(mutex_);
  /// Waits until no job is queued or running (or the worker stopped).
  void waitUntilIdle() TARNIX_EXCLUDES(mutex_);
  /// True when called from one of this worker's threads.
  bool isWorkerThread() const;

 private:
  void run() TARNIX_EXCLUDES(mutex_);

  const std::string name_;
  const std::size_t threadCount_;
  Mutex mutex_;
  CondVar wake_{&mutex_};  // a job was posted, or stop() began
  CondVar idle_{&mutex_};  // the queue emptied and no job runs
  std::deque<std::function<void()>> jobs_ TARNIX_GUARDED_BY(mutex_);
  std::size_t running_ TARNIX_GUARDED_BY(mutex_) = 0;
  bool started_ TARNIX_GUARDED_BY(mutex_) = false;
  bool stopping_ TARNIX_GUARDED_BY(mutex_) = false;
  std::vector<std::thread> threads_;  // written by start(), joined by stop()
};

}  // namespace tarnix::base
