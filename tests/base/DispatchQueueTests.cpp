#include "base/DispatchQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace tarnix::base;
using namespace std::chrono_literals;

TEST(DispatchQueue, RunsBlocksSeriallyInSubmissionOrder) {
  DispatchQueue queue("com.tarnix.Test");
  std::vector<int> order;
  std::atomic<int> running{0};
  bool overlapped = false;
  for (int i = 0; i < 200; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.drain();
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(overlapped);
}

TEST(DispatchQueue, SyncReturnsTheValueAndKnowsItsQueue) {
  DispatchQueue queue("com.tarnix.Test");
  EXPECT_FALSE(queue.isCurrent());
  auto [value, current] = queue.sync([&] { return std::pair{42, queue.isCurrent()}; });
  EXPECT_EQ(value, 42);
  EXPECT_TRUE(current);
  EXPECT_EQ(queue.sync([] { return DispatchQueue::current(); }), &queue);
}

TEST(DispatchQueueDeathTest, SyncOnItsOwnQueueAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        DispatchQueue queue("com.tarnix.Self");
        queue.sync([&] { queue.sync([] {}); });
      },
      "com.tarnix.Self");
}

TEST(DispatchQueue, AsyncAfterRunsLaterAndCanBeCancelled) {
  DispatchQueue queue("com.tarnix.Test");
  std::atomic<int> ran{0};
  auto kept = queue.asyncAfter(20ms, [&] { ran += 1; });
  auto cancelled = queue.asyncAfter(20ms, [&] { ran += 100; });
  cancelled->cancel();
  EXPECT_EQ(ran.load(), 0);
  for (int i = 0; i < 200 && ran.load() == 0; ++i) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_TRUE(cancelled->isCancelled());
}

TEST(DispatchGroup, NotifiesOnceWhenEveryTaskLeft) {
  DispatchQueue queue("com.tarnix.Test");
  DispatchGroup group;
  std::atomic<int> notified{0};
  for (int i = 0; i < 10; ++i) group.enter();
  group.notify(queue, [&] { notified += 1; });
  for (int i = 0; i < 10; ++i) {
    std::thread([&] { group.leave(); }).join();
  }
  group.leave();  // one leave too many is ignored
  EXPECT_TRUE(group.waitFor(1s));
  queue.drain();
  EXPECT_EQ(notified.load(), 1);
}

TEST(DispatchGroup, WaitForTimesOutWhileTasksRemain) {
  DispatchGroup group;
  group.enter();
  EXPECT_FALSE(group.waitFor(10ms));
  group.leave();
  EXPECT_TRUE(group.waitFor(10ms));
}
