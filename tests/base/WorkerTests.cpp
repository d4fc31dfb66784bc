#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

#include "base/Worker.hpp"

namespace tarnix::base {
namespace {

TEST(WorkerTest, RunsJobsInOrderOfPostingOnOneThread) {
  Worker worker("test-worker");
  std::vector<int> seen;  // touched by the worker's one thread only, until waitUntilIdle
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(worker.post([&seen, i] { seen.push_back(i); }));
  worker.start();
  worker.waitUntilIdle();
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
}

TEST(WorkerTest, StopDropsQueuedJobsWaitsForTheRunningOneAndRefusesNewOnes) {
  Worker worker("test-worker");
  std::promise<void> entered;
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<int> ran{0};
  worker.post([&] {
    entered.set_value();
    released.wait();
    ++ran;
  });
  for (int i = 0; i < 10; ++i) worker.post([&] { ran += 100; });
  worker.start();
  entered.get_future().wait();
  auto stopped = std::async(std::launch::async, [&] { worker.stop(); });
  // stop() waits for the job in progress.
  EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  release.set_value();
  stopped.wait();
  EXPECT_EQ(ran.load(), 1);
  EXPECT_FALSE(worker.post([&] { ++ran; }));
  worker.stop();  // again: nothing to do
}

TEST(WorkerTest, SeveralThreadsRunJobsAtOnce) {
  // Each job waits for the other to start: only two threads at once finish both in time.
  Worker worker("test-worker", 2);
  worker.start();
  std::promise<void> firstStarted, secondStarted;
  auto first = firstStarted.get_future().share(), second = secondStarted.get_future().share();
  std::atomic<int> sawTheOther{0};
  const auto job = [&](std::promise<void>& mine, std::shared_future<void> other) {
    mine.set_value();
    if (other.wait_for(std::chrono::seconds(10)) == std::future_status::ready) ++sawTheOther;
  };
  worker.post([&] { job(firstStarted, second); });
  worker.post([&] { job(secondStarted, first); });
  worker.waitUntilIdle();
  EXPECT_EQ(sawTheOther.load(), 2);
  EXPECT_FALSE(worker.isWorkerThread());
}

}  // namespace
}  // namespace tarnix::base
