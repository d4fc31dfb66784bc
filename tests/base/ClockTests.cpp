#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"

namespace tarnix::base {
namespace {

using namespace std::chrono_literals;

TEST(ManualClockTest, FiresDueTimersInOrderAsTimeAdvances) {
  auto clock = ManualClock::make();
  const auto wallStart = clock->now();
  const auto steadyStart = clock->steadyNow();
  std::vector<std::string> fired;
  clock->after(3s, [&] { fired.push_back("3s"); });
  clock->after(1s, [&] {
    fired.push_back("1s");
    // Set while firing, due within the same advance: fires in it too.
    clock->after(500ms, [&] { fired.push_back("1.5s"); });
  });
  auto cancelled = clock->after(2s, [&] { fired.push_back("2s"); });
  clock->after(1s, [&] { fired.push_back("1s, set later"); });
  cancelled->cancel();
  EXPECT_EQ(clock->pendingTimers(), 3u);

  clock->advance(999ms);
  EXPECT_TRUE(fired.empty());
  clock->advance(2001ms);
  EXPECT_EQ(fired, (std::vector<std::string>{"1s", "1s, set later", "1.5s", "3s"}));
  EXPECT_EQ(clock->now() - wallStart, 3s);
  EXPECT_EQ(clock->steadyNow() - steadyStart, 3s);
  EXPECT_EQ(clock->pendingTimers(), 0u);

  // The wall clock may jump; steady time and timers do not follow it.
  clock->setWallTime(wallStart - 24h);
  EXPECT_EQ(clock->steadyNow() - steadyStart, 3s);
}

TEST(ManualClockTest, DrivesTheTimersOfADispatchQueueThatRunOnTheQueue) {
  auto clock = ManualClock::make();
  auto queue = DispatchQueue::make("com.tarnix.ClockTest", clock);
  std::promise<bool> ranOnQueue;
  queue->asyncAfter(10s, [&] { ranOnQueue.set_value(queue->isCurrent()); });
  auto result = ranOnQueue.get_future();
  clock->advance(9s);
  queue->drain();
  EXPECT_EQ(result.wait_for(0s), std::future_status::timeout);
  clock->advance(1s);
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(result.get());
}

TEST(SystemClockTest, TimersFireAfterTheirDelayUnlessCancelled) {
  const auto& clock = Clock::system();
  EXPECT_TRUE(clock->isSystem());
  std::promise<void> fired;
  std::atomic<bool> cancelledRan{false};
  const auto start = clock->steadyNow();
  auto cancelled = clock->after(20ms, [&] { cancelledRan = true; });
  cancelled->cancel();
  clock->after(30ms, [&] { fired.set_value(); });
  ASSERT_EQ(fired.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_GE(clock->steadyNow() - start, 30ms);
  EXPECT_FALSE(cancelledRan.load());
}

}  // namespace
}  // namespace tarnix::base
