#include "platform/fileprovider/Progress.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace tarnix::platform::fileprovider;

namespace {

TEST(ProgressTest, ParentCountsChildrenByTheirShare) {
  auto parent = Progress::make(10);
  auto download = Progress::make(200);
  auto convert = Progress::make(4);
  ASSERT_TRUE(parent->addChild(download, 8));
  ASSERT_TRUE(parent->addChild(convert, 2));
  parent->setCompletedUnitCount(0);

  download->setCompletedUnitCount(100);
  EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 0.4);
  EXPECT_EQ(parent->completedUnitCount(), 0);

  download->setCompletedUnitCount(200);
  EXPECT_TRUE(download->isFinished());
  EXPECT_EQ(parent->completedUnitCount(), 8);
  EXPECT_FALSE(parent->isFinished());

  convert->setCompletedUnitCount(4);
  EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 1.0);
  EXPECT_TRUE(parent->isFinished());
}

TEST(ProgressTest, IndeterminateAndOvershootingCountsStayInRange) {
  auto progress = Progress::make();
  EXPECT_TRUE(progress->isIndeterminate());
  EXPECT_DOUBLE_EQ(progress->fractionCompleted(), 0.0);
  EXPECT_FALSE(progress->isFinished());

  progress->setTotalUnitCount(5);
  progress->setCompletedUnitCount(9);
  EXPECT_FALSE(progress->isIndeterminate());
  EXPECT_DOUBLE_EQ(progress->fractionCompleted(), 1.0);
  EXPECT_TRUE(progress->isFinished());
}

TEST(ProgressTest, CancellationReachesTheSubtreeAndRunsEachHandlerOnce) {
  auto root = Progress::make(1);
  auto child = Progress::make(1);
  auto grandchild = Progress::make(1);
  ASSERT_TRUE(root->addChild(child, 1));
  ASSERT_TRUE(child->addChild(grandchild, 1));
  int rootRuns = 0, grandchildRuns = 0;
  root->setCancellationHandler([&] { ++rootRuns; });
  grandchild->setCancellationHandler([&] { ++grandchildRuns; });

  root->cancel();
  root->cancel();
  EXPECT_TRUE(child->isCancelled());
  EXPECT_TRUE(grandchild->isCancelled());
  EXPECT_EQ(rootRuns, 1);
  EXPECT_EQ(grandchildRuns, 1);

  // Cancelling a child leaves its parent running.
  auto parent = Progress::make(1);
  auto single = Progress::make(1);
  parent->addChild(single, 1);
  single->cancel();
  EXPECT_FALSE(parent->isCancelled());
}

TEST(ProgressTest, LateHandlersAndLateChildrenOfACancelledProgressAreCancelledAtOnce) {
  auto progress = Progress::make(1);
  progress->cancel();
  int runs = 0;
  progress->setCancellationHandler([&] { ++runs; });
  EXPECT_EQ(runs, 1);

  auto late = Progress::make(1);
  bool lateCancelled = false;
  late->setCancellationHandler([&] { lateCancelled = true; });
  ASSERT_TRUE(progress->addChild(late, 1));
  EXPECT_TRUE(lateCancelled);
}

TEST(ProgressTest, RefusesChildrenThatWouldBreakTheTree) {
  auto a = Progress::make(1);
  auto b = Progress::make(1);
  auto c = Progress::make(1);
  ASSERT_TRUE(a->addChild(b, 1));
  ASSERT_TRUE(b->addChild(c, 1));
  EXPECT_FALSE(a->addChild(nullptr, 1));
  EXPECT_FALSE(a->addChild(a, 1));
  EXPECT_FALSE(c->addChild(a, 1));  // a cycle
  EXPECT_FALSE(c->addChild(b, 1));  // b already has a parent (and is an ancestor)
  auto other = Progress::make(1);
  EXPECT_FALSE(other->addChild(c, 1));  // second parent
  EXPECT_EQ(a->children().size(), 1u);
  EXPECT_TRUE(other->children().empty());
}

TEST(ProgressTest, ConcurrentCancelsRunTheHandlerOnce) {
  for (int round = 0; round < 50; ++round) {
    auto progress = Progress::make(100);
    std::atomic<int> runs{0};
    progress->setCancellationHandler([&] { ++runs; });
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] {
        auto child = Progress::make(1);
        progress->addChild(child, 1);
        progress->setCompletedUnitCount(i);
        (void)progress->fractionCompleted();
        progress->cancel();
        EXPECT_TRUE(child->isCancelled());
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(runs.load(), 1);
  }
}

}  // namespace
