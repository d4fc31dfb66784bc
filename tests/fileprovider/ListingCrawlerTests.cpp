// The crawler walks a subtree through the real scheduler and item store, with a listing
// service that stands in for the cloud: every folder is listed once, child folders found by a
// listing are crawled next, a failed listing only ends that branch, and stopping ends the
// listings in flight.

#include "fileprovider/listing/ListingCrawler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "common/DriveDatabase.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TempDir.hpp"

namespace tarnix::fileprovider {
namespace {

using namespace std::chrono_literals;
using common::SyncError;
using common::SyncFileIdentifier;
using common::SyncFolderIdentifier;
using common::SyncItem;
using testing::CapturingLogSink;
using testing::TempDir;

constexpr const char* kDrive = "3b0d7e0c-5a1f-4c8e-9f3e-2d6a1c0b9e11";

SyncItem item(common::SyncItemIdentifier identifier, const SyncFolderIdentifier& parent,
              std::string name) {
  SyncItem made;
  made.cloudIdentifier = identifier.isFolder()
                             ? common::CloudItemIdentifier(common::CloudFolderIdentifier{name})
                             : common::CloudItemIdentifier(common::CloudGroupIdentifier{name});
  made.itemIdentifier = std::move(identifier);
  made.parentItemIdentifier = parent;
  made.filename = std::move(name);
  made.permission = common::SyncItemPermission::editor;
  return made;
}

// Lists from a tree held in memory: a listing stores the folder's children it has not stored
// yet; folders named in `failing` fail as an unreachable server would; folders named in `held`
// stay in flight until the service is stopped, which cancels them.
class TreeListingService final : public ListingServiceInterface {
 public:
  TreeListingService(std::shared_ptr<common::SyncItemStorage> storage,
                     std::map<std::string, std::vector<SyncItem>> tree,
                     std::set<std::string> failing, std::set<std::string> held = {})
      : storage_(std::move(storage)),
        tree_(std::move(tree)),
        failing_(std::move(failing)),
        held_(std::move(held)) {}

  void refreshListing(const SyncItem& folder, ListingOrigin origin, bool force, bool,
                      std::optional<ListingMetadata>, Completion completion) override {
    queue_.async([this, folder, origin, force, completion = std::move(completion)] {
      const auto name = folder.itemIdentifier.rawValue();
      {
        std::lock_guard lock(mutex_);
        listed_.push_back(name);
        if (origin != ListingOrigin::enumerator || force) unexpectedRequests_ = true;
        if (stopped_) {
          return completion(std::unexpected(ListingError(ListingUnavailable{"stopped"})));
        }
        if (held_.contains(name)) return inFlight_.push_back(completion);
      }
      if (failing_.contains(name)) {
        return completion(
            std::unexpected(ListingError(SyncError(SyncError::Code::serverUnreachable))));
      }
      common::SyncItemListPatch patch;
      for (const auto& child : tree_[name]) {
        auto stored = storage_->optionalItem(child.itemIdentifier);
        if (stored && !*stored) patch.createdItems.push_back(child);
      }
      if (auto applied = storage_->apply(patch, false); !applied) {
        return completion(std::unexpected(ListingError(applied.error())));
      }
      completion(
          ListingMetadata{*folder.itemIdentifier.folder(), "v1", std::chrono::system_clock::now()});
    });
  }

  void enumerateCloudItems(const SyncItem&, CloudItemsCompletion completion) override {
    completion(std::vector<common::CloudItem>{});
  }

  void stop() override {
    std::vector<Completion> cancelled;
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
      cancelled.swap(inFlight_);
    }
    queue_.async([cancelled] {
      for (const auto& completion : cancelled) {
        completion(std::unexpected(ListingError(SyncCloudError(cloudfs::CloudFSSessionError(
            cloudfs::URLError{cloudfs::URLError::Code::cancelled, "cancelled", {}})))));
      }
    });
  }
  std::size_t inFlight() {
    std::lock_guard lock(mutex_);
    return inFlight_.size();
  }

  std::vector<std::string> listed() {
    std::lock_guard lock(mutex_);
    return listed_;
  }
  bool unexpectedRequests() {
    std::lock_guard lock(mutex_);
    return unexpectedRequests_;
  }

 private:
  std::shared_ptr<common::SyncItemStorage> storage_;
  std::map<std::string, std::vector<SyncItem>> tree_;
  std::set<std::string> failing_;
  std::set<std::string> held_;
  std::mutex mutex_;
  std::vector<std::string> listed_;   // guarded by mutex_
  bool unexpectedRequests_ = false;   // guarded by mutex_
  std::vector<Completion> inFlight_;  // guarded by mutex_
  bool stopped_ = false;              // guarded by mutex_
  base::DispatchQueue queue_{"test.TreeListingService"};
};

class ListingCrawlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto database = common::DriveDatabase::open(dir_.path(), kDrive);
    ASSERT_TRUE(database) << database.error().description();
    database_ = std::move(*database);
    auto storage = common::SyncItemStorage::make(database_->dbQueue(), "/Shared/Team", nullptr);
    ASSERT_TRUE(storage) << storage.error().description();
    storage_ = std::move(*storage);
    ASSERT_TRUE(storage_->setRootItem(item(root_, SyncFolderIdentifier::zero(), "root")));
  }

  std::shared_ptr<ListingScheduler> scheduler(std::shared_ptr<TreeListingService> service) {
    ListingScheduler::Collaborators collaborators;
    collaborators.listingServiceForOnlineRealm = std::move(service);
    collaborators.listingMetadataStorage =
        std::make_shared<ListingMetadataStorage>(database_->dbQueue(), base::Logger::null());
    collaborators.itemStorage = storage_;
    return ListingScheduler::make(std::move(collaborators), base::Logger::null());
  }

  // Waits until the crawler has said it stopped `times` times in all.
  void waitUntilStopped(std::size_t times) {
    for (int i = 0; i < 1500 && log_.second->entries("Crawler stopped").size() < times; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(log_.second->entries("Crawler stopped").size(), times);
  }

  TempDir dir_{"tarnix-crawler"};
  std::unique_ptr<common::DriveDatabase> database_;
  std::shared_ptr<common::SyncItemStorage> storage_;
  SyncFolderIdentifier root_{"root"};
  std::pair<base::Logger, std::shared_ptr<CapturingLogSink>> log_ = CapturingLogSink::makeLogger();
};

TEST_F(ListingCrawlerTest, ListsEveryFolderOfTheSubtreeOnceAndGoesOnPastFailures) {
  auto folder = [](const char* name) { return SyncFolderIdentifier{name}; };
  std::map<std::string, std::vector<SyncItem>> tree = {
      {"root",
       {item(folder("a"), folder("root"), "a"), item(folder("b"), folder("root"), "b"),
        item(SyncFileIdentifier{"f"}, folder("root"), "f")}},
      {"a", {item(folder("a1"), folder("a"), "a1"), item(folder("a2"), folder("a"), "a2")}},
      {"a2", {item(folder("a2x"), folder("a2"), "a2x")}},
      {"b", {item(folder("b1"), folder("b"), "b1")}},
  };
  // "b" cannot be listed, so its child is never found.
  auto service = std::make_shared<TreeListingService>(storage_, tree, std::set<std::string>{"b"});
  auto listingScheduler = scheduler(service);
  auto crawler = std::make_shared<ListingCrawler>(listingScheduler, storage_, log_.first);

  crawler->add({root_});
  ASSERT_NO_FATAL_FAILURE(waitUntilStopped(1));
  EXPECT_FALSE(crawler->isRunning());
  auto listed = service->listed();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"a", "a1", "a2", "a2x", "b", "root"}));
  EXPECT_FALSE(service->unexpectedRequests()) << "crawling lists as an enumerator, unforced";
  EXPECT_TRUE(*storage_->optionalItem(folder("a2x")));
  EXPECT_FALSE(*storage_->optionalItem(folder("b1")));

  // A later crawl starts again from what it is given.
  crawler->add({folder("a2")});
  ASSERT_NO_FATAL_FAILURE(waitUntilStopped(2));
  EXPECT_EQ(service->listed().size(), 8u);
  EXPECT_EQ(log_.second->entries("Crawler started").size(), 2u);
}

TEST_F(ListingCrawlerTest, StopsWhenTheSchedulerIsGone) {
  auto service = std::make_shared<TreeListingService>(
      storage_, std::map<std::string, std::vector<SyncItem>>{}, std::set<std::string>{});
  auto listingScheduler = scheduler(service);
  auto crawler = std::make_shared<ListingCrawler>(listingScheduler, storage_, log_.first);
  listingScheduler.reset();
  crawler->add({root_});
  ASSERT_NO_FATAL_FAILURE(waitUntilStopped(1));
  EXPECT_TRUE(service->listed().empty());
  EXPECT_FALSE(crawler->isRunning());
}

// What invalidating the provider relies on: once the crawler and the scheduler are stopped,
// the listing in flight has ended and its completion has run, the crawl goes no further, and
// later requests fail at once without reaching the service.
TEST_F(ListingCrawlerTest, StoppingEndsTheListingsInFlightAndStartsNoMore) {
  auto folder = [](const char* name) { return SyncFolderIdentifier{name}; };
  std::map<std::string, std::vector<SyncItem>> tree = {
      {"root", {item(folder("a"), folder("root"), "a"), item(folder("b"), folder("root"), "b")}},
  };
  auto service = std::make_shared<TreeListingService>(storage_, tree, std::set<std::string>{},
                                                      std::set<std::string>{"a", "b"});
  auto listingScheduler = scheduler(service);
  auto crawler = std::make_shared<ListingCrawler>(listingScheduler, storage_, log_.first);
  crawler->add({root_});
  const auto waitForInFlight = [&](std::size_t count) {
    for (int i = 0; i < 1500 && service->inFlight() < count; ++i) std::this_thread::sleep_for(10ms);
    return service->inFlight() == count;
  };
  ASSERT_TRUE(waitForInFlight(1)) << "the crawler's listing of the first folder below the root";
  std::promise<ListingResult<void>> direct;
  listingScheduler->triggerListing(
      common::SyncItemIdentifier(folder("b")), ListingOrigin::enumerator, false, false,
      [&](ListingResult<void> result) { direct.set_value(std::move(result)); });
  ASSERT_TRUE(waitForInFlight(2)) << "and a listing asked for directly";

  crawler->stop();
  listingScheduler->stop();
  auto outcome = direct.get_future();
  ASSERT_EQ(outcome.wait_for(0s), std::future_status::ready)
      << "the completion of a listing in flight has run when stop returns";
  auto result = outcome.get();
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().isCancellation()) << result.error().description();
  EXPECT_FALSE(crawler->isRunning());

  std::promise<ListingResult<void>> later;
  listingScheduler->triggerListing(
      common::SyncItemIdentifier(root_), ListingOrigin::enumerator, true, false,
      [&](ListingResult<void> result) { later.set_value(std::move(result)); });
  auto refused = later.get_future();
  ASSERT_EQ(refused.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(refused.get());
  crawler->add({root_});
  EXPECT_FALSE(crawler->isRunning());
  auto listed = service->listed();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"a", "b", "root"}))
      << "nothing is listed after stopping, and the crawl does not go on to \"b\"";
}

}  // namespace
}  // namespace tarnix::fileprovider
