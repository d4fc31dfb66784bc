// Presenting a folder lists it; a host waiting for that listing learns when it ended and how,
// through the real scheduler and item store and a listing service whose listings end when the
// test says.

#include "fileprovider/listing/ListingPresentationTracker.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "base/Mutex.hpp"
#include "common/DriveDatabase.hpp"
#include "support/TempDir.hpp"

namespace tarnix::fileprovider {
namespace {

using namespace std::chrono_literals;
using common::SyncError;
using common::SyncFolderIdentifier;

constexpr const char* kPresentedDrive = "5e2d7e0c-5a1f-4c8e-9f3e-2d6a1c0b9e77";

class HeldListingService final : public ListingServiceInterface {
 public:
  void refreshListing(const common::SyncItem& folder, ListingOrigin, bool, bool,
                      std::optional<ListingMetadata>, Completion completion) override {
    base::MutexLock lock(mutex_);
    held_.emplace_back(*folder.itemIdentifier.folder(), std::move(completion));
    changed_.signalAll();
  }
  void enumerateCloudItems(const common::SyncItem&, CloudItemsCompletion completion) override {
    completion(std::vector<common::CloudItem>{});
  }
  /// Waits (10 s at most) until `count` listings were asked for.
  bool waitForListings(std::size_t count) {
    base::MutexLock lock(mutex_);
    return changed_.waitFor(10s, [&] {
      mutex_.assertHeld();
      return held_.size() >= count;
    });
  }
  /// Ends the listing asked for `index`-th (from 0) with `error`, or with success.
  void end(std::size_t index, std::optional<SyncError> error = std::nullopt) {
    std::pair<SyncFolderIdentifier, Completion> listing;
    {
      base::MutexLock lock(mutex_);
      listing = held_.at(index);
    }
    if (error) return listing.second(std::unexpected(ListingError(*error)));
    listing.second(ListingMetadata{listing.first, "v1", std::chrono::system_clock::now()});
  }

 private:
  base::Mutex mutex_;
  base::CondVar changed_{&mutex_};
  std::vector<std::pair<SyncFolderIdentifier, Completion>> held_ TARNIX_GUARDED_BY(mutex_);
};

// One wait for a presentation's listing.
class Wait {
 public:
  explicit Wait(ListingPresentationTracker& tracker, const common::SyncItemIdentifier& folder) {
    tracker.whenPresentationListed(
        folder, [promise = promise_](auto failure) { promise->set_value(std::move(failure)); });
  }
  bool ended(std::chrono::milliseconds within = 0ms) {
    return future_.wait_for(within) == std::future_status::ready;
  }
  std::optional<PresentationListingFailure> outcome() {
    EXPECT_TRUE(ended(10s));
    return future_.get();
  }

 private:
  std::shared_ptr<std::promise<std::optional<PresentationListingFailure>>> promise_ =
      std::make_shared<std::promise<std::optional<PresentationListingFailure>>>();
  std::future<std::optional<PresentationListingFailure>> future_ = promise_->get_future();
};

class ListingPresentationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto database = common::DriveDatabase::open(dir_.path(), kPresentedDrive);
    ASSERT_TRUE(database) << database.error().description();
    database_ = std::move(*database);
    auto storage = common::SyncItemStorage::make(database_->dbQueue(), "/Shared", nullptr);
    ASSERT_TRUE(storage) << storage.error().description();
    storage_ = std::move(*storage);
    common::SyncItem root;
    root.itemIdentifier = root_;
    root.parentItemIdentifier = SyncFolderIdentifier::zero();
    root.filename = "Shared";
    root.cloudIdentifier = common::CloudFolderIdentifier{"7"};
    ASSERT_TRUE(storage_->setRootItem(root));
    ListingScheduler::Collaborators collaborators;
    collaborators.listingServiceForOnlineRealm = service_;
    collaborators.listingMetadataStorage =
        std::make_shared<ListingMetadataStorage>(database_->dbQueue(), base::Logger::null());
    collaborators.itemStorage = storage_;
    scheduler_ = ListingScheduler::make(std::move(collaborators), base::Logger::null());
    tracker_ =
        std::make_shared<ListingPresentationTracker>(scheduler_, nullptr, base::Logger::null());
  }

  testing::TempDir dir_{"tarnix-presentation"};
  std::unique_ptr<common::DriveDatabase> database_;
  std::shared_ptr<common::SyncItemStorage> storage_;
  std::shared_ptr<HeldListingService> service_ = std::make_shared<HeldListingService>();
  std::shared_ptr<ListingScheduler> scheduler_;
  std::shared_ptr<ListingPresentationTracker> tracker_;
  SyncFolderIdentifier root_{"root"};
};

TEST_F(ListingPresentationTest, AWaitEndsWithTheListingThatTheLatestPresentationStarted) {
  // Nothing presented: nothing to wait for.
  EXPECT_EQ(Wait(*tracker_, root_).outcome().has_value(), false);

  tracker_->didStartPresenting(root_);
  ASSERT_TRUE(service_->waitForListings(1));
  EXPECT_TRUE(tracker_->isPresented(root_));
  Wait first(*tracker_, root_);
  EXPECT_FALSE(first.ended(100ms)) << "the listing is still running";
  service_->end(0, SyncError(SyncError::Code::serverUnreachable));
  auto failure = first.outcome();
  ASSERT_TRUE(failure);
  ASSERT_TRUE(failure->syncError);
  EXPECT_EQ(failure->syncError->code(), SyncError::Code::serverUnreachable);
  EXPECT_EQ(failure->description, "Server is unreachable");
  // Asked again after it ended: the same outcome, at once.
  auto again = Wait(*tracker_, root_).outcome();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->description, "Server is unreachable");

  // A new presentation asks for a new listing; a wait now is for that one.
  tracker_->didStartPresenting(root_);
  ASSERT_TRUE(service_->waitForListings(2));
  Wait second(*tracker_, root_);
  EXPECT_FALSE(second.ended(100ms));
  service_->end(1);
  EXPECT_EQ(second.outcome().has_value(), false);

  tracker_->didStopPresenting(root_);
  EXPECT_TRUE(tracker_->isPresented(root_));
  tracker_->didStopPresenting(root_);
  EXPECT_FALSE(tracker_->isPresented(root_));
}

TEST_F(ListingPresentationTest, AWaitEndsWhenTheSchedulerIsGone) {
  scheduler_.reset();
  tracker_->didStartPresenting(root_);
  auto failure = Wait(*tracker_, root_).outcome();
  ASSERT_TRUE(failure);
  EXPECT_FALSE(failure->syncError);
  EXPECT_EQ(failure->description, "the listing scheduler is gone");
  tracker_->didStopPresenting(root_);
}

}  // namespace
}  // namespace tarnix::fileprovider
