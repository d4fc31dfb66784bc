// The event bus between processes over one main database: what one process posts reaches its
// own observers once and the other processes' through a replay; a process never replays its
// own events; unknown or damaged rows are dropped with a log; old rows are cleaned up.

#include <gtest/gtest.h>

#include <mutex>

#include "../platform/PlatformTestSupport.hpp"
#include "base/Clock.hpp"
#include "common/EventStorage.hpp"
#include "common/MainDatabase.hpp"
#include "fileprovider/events/EventBroker.hpp"
#include "support/TempDir.hpp"

namespace tarnix::testing {
namespace {

using fileprovider::EventBroker;
using fileprovider::PathUpdatedInfo;
using namespace std::chrono_literals;

class Received {
 public:
  void add(const base::JSONValue& payload) {
    std::lock_guard lock(mutex_);
    paths_.push_back(base::jsonString(payload, "cloudPath").value_or("?"));
  }
  std::vector<std::string> paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> paths_;
};

class EventBrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto database = common::MainDatabase::open(dir_ / "Main.db", base::Logger::null());
    ASSERT_TRUE(database) << database.error().message;
    database_ = *database;
    storage_ = std::make_shared<common::EventStorage>(database_, base::Logger::null());
  }

  /// A broker as one process makes it.
  std::shared_ptr<EventBroker> process(
      std::int64_t identifier, std::shared_ptr<fileprovider::EventStorageCleaner> cleaner = {}) {
    auto broker =
        EventBroker::make({storage_,
                           center_,
                           {{PathUpdatedInfo::kEventName, fileprovider::pathUpdatedInfoCoder()}},
                           identifier,
                           std::move(cleaner),
                           clock_},
                          base::Logger::null());
    broker->start();
    return broker;
  }
  static base::JSONValue path(const std::string& cloudPath) {
    return PathUpdatedInfo{cloudPath, "drive-1"}.toJSON();
  }

  TempDir dir_;
  std::shared_ptr<common::MainDatabase> database_;
  std::shared_ptr<common::EventStorage> storage_;
  std::shared_ptr<platform::InProcessNotificationCenter> center_ =
      std::make_shared<platform::InProcessNotificationCenter>();
  std::shared_ptr<base::ManualClock> clock_ = base::ManualClock::make();
};

TEST_F(EventBrokerTest, OtherProcessesReplayWhatOneProcessPosts) {
  storage_->store({{PathUpdatedInfo::kEventName, base::dumpJSON(path("/before"))}}, 9,
                  clock_->now());
  auto mount = process(1);
  auto command = process(2);
  Received atMount, atCommand;
  auto s1 = mount->subscribe(PathUpdatedInfo::kEventName, [&](auto p) { atMount.add(p); });
  auto s2 = command->subscribe(PathUpdatedInfo::kEventName, [&](auto p) { atCommand.add(p); });

  mount->post(PathUpdatedInfo::kEventName, path("/a"));
  mount->post(PathUpdatedInfo::kEventName, path("/b"));
  command->post(PathUpdatedInfo::kEventName, path("/c"));
  mount->drain();
  command->drain();
  // Each sees its own once and the other's; nothing from before it started.
  ASSERT_TRUE(eventually([&] { return atMount.paths().size() == 3; }));
  ASSERT_TRUE(eventually([&] { return atCommand.paths().size() == 3; }));
  mount->drain();
  command->drain();
  EXPECT_EQ(atMount.paths(), (std::vector<std::string>{"/a", "/b", "/c"}));
  auto seen = atCommand.paths();
  std::ranges::sort(seen);
  EXPECT_EQ(seen, (std::vector<std::string>{"/a", "/b", "/c"}));
  EXPECT_EQ(storage_->count(), 4);
}

TEST_F(EventBrokerTest, RowsNoCoderCanReadAreDroppedAndTheRestDelivered) {
  auto command = process(2);
  Received received;
  auto subscription =
      command->subscribe(PathUpdatedInfo::kEventName, [&](auto p) { received.add(p); });
  // Another process wrote rows this one cannot use, then a good one.
  ASSERT_TRUE(storage_->store({{"com.tarnix.Unknown", "{}"},
                               {PathUpdatedInfo::kEventName, "not json"},
                               {PathUpdatedInfo::kEventName, R"({"cloudPath": 5})"},
                               {PathUpdatedInfo::kEventName, base::dumpJSON(path("/good"))}},
                              7, clock_->now()));
  center_->post(EventBroker::kEventsPersistedNotification, "7");
  ASSERT_TRUE(eventually([&] { return !received.paths().empty(); }));
  command->drain();
  EXPECT_EQ(received.paths(), std::vector<std::string>{"/good"});
}

TEST_F(EventBrokerTest, TheCleanerDeletesOldRowsAtItsThreshold) {
  auto cleaner = std::make_shared<fileprovider::EventStorageCleaner>(storage_, 3, clock_,
                                                                     base::Logger::null());
  auto mount = process(1, cleaner);
  mount->post(PathUpdatedInfo::kEventName, path("/old"));
  mount->drain();
  clock_->advance(10min);
  mount->post(PathUpdatedInfo::kEventName, path("/new-1"));
  mount->drain();
  cleaner->drain();
  EXPECT_EQ(storage_->count(), 2);  // below the threshold: nothing deleted yet
  mount->post(PathUpdatedInfo::kEventName, path("/new-2"));
  mount->drain();
  cleaner->drain();
  EXPECT_EQ(storage_->count(), 2);  // the old one went
  EXPECT_EQ(storage_->events(0, 0).front().event.data, base::dumpJSON(path("/new-1")));
}

}  // namespace
}  // namespace tarnix::testing
