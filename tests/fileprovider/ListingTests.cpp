// The listing's decision logic as plain values (whether to list, which cloud names may become
// items, what a listing changes) and the coordinator's merging, bound and order.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include "base/UTF8.hpp"
#include "fileprovider/listing/ListingCoordinator.hpp"
#include "fileprovider/listing/ListingPatch.hpp"
#include "support/CapturingLogSink.hpp"

namespace {

using namespace std::chrono_literals;
using tarnix::base::Date;
using tarnix::common::CloudFolderIdentifier;
using tarnix::common::CloudGroupIdentifier;
using tarnix::common::CloudLockInfo;
using tarnix::common::SyncError;
using tarnix::common::SyncFileIdentifier;
using tarnix::common::SyncFolderIdentifier;
using tarnix::common::SyncItem;
using tarnix::fileprovider::ListingCompletion;
using tarnix::fileprovider::ListingCoordinator;
using tarnix::fileprovider::ListingCoordinatorDelegate;
using tarnix::fileprovider::ListingDecision;
using tarnix::fileprovider::ListingError;
using tarnix::fileprovider::ListingMetadata;
using tarnix::fileprovider::ListingOrigin;
using tarnix::fileprovider::ListingRequest;
using tarnix::fileprovider::ListingResult;
using tarnix::fileprovider::ListingUnavailable;
using tarnix::fileprovider::SyncCloudFolderItems;

// MARK: Deciding whether to list

TEST(ListingDecisionTest, FollowsForceDesktopSyncAndFreshnessRules) {
  const Date now = tarnix::base::dateFromMillisecondsSince1970(1'700'000'000'000);
  const SyncFolderIdentifier folder{"f"};
  const ListingMetadata fresh{folder, "v1", now - 9s};
  const ListingMetadata stale{folder, "v1", now - 11s};
  const ListingMetadata future{folder, "v1", now + 1h};
  struct Case {
    const char* name;
    bool force;
    bool forceRefreshLocks;
    ListingOrigin origin;
    std::optional<ListingMetadata> metadata;
    ListingDecision expected;
  };
  const Case cases[] = {
      {"never listed", false, false, ListingOrigin::enumerator, std::nullopt,
       ListingDecision::list},
      {"forced though fresh", true, false, ListingOrigin::enumerator, fresh, ListingDecision::list},
      {"forced from ds", true, false, ListingOrigin::ds, stale, ListingDecision::list},
      {"fresh", false, false, ListingOrigin::enumerator, fresh,
       ListingDecision::skipRecentlyListed},
      {"stale", false, false, ListingOrigin::red, stale, ListingDecision::list},
      {"ds with metadata", false, false, ListingOrigin::ds, stale,
       ListingDecision::skipKeptCurrentByDesktopSync},
      {"ds never listed", false, false, ListingOrigin::ds, std::nullopt, ListingDecision::list},
      {"ds refreshing locks, stale", false, true, ListingOrigin::ds, stale, ListingDecision::list},
      {"ds refreshing locks, fresh", false, true, ListingOrigin::ds, fresh,
       ListingDecision::skipRecentlyListed},
      // A time far ahead (a clock set back) must not stop listings.
      {"time in the future", false, false, ListingOrigin::enumerator, future,
       ListingDecision::list},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tarnix::fileprovider::decideListing(c.force, c.forceRefreshLocks, c.origin,
                                                  c.metadata, now),
              c.expected)
        << c.name;
  }
}

// MARK: Names from the cloud

TEST(CloudNameTest, OnlyNamesThatStayInsideTheirFolderAreSafe) {
  struct Case {
    std::string name;
    bool safe;
  };
  const Case cases[] = {
      {"report.pdf", true},
      {"Übersicht 2024", true},
      {"..hidden", true},
      {"...", true},
      {"", false},
      {".", false},
      {"..", false},
      {"../etc", false},
      {"a/b", false},
      {"/", false},
      {std::string("a\0b", 3), false},
      {"\xC3\x28", false},      // invalid continuation
      {"\xC0\xAF", false},      // overlong "/"
      {"\xED\xA0\x80", false},  // surrogate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tarnix::fileprovider::isSafeCloudName(c.name), c.safe) << c.name;
  }
  EXPECT_EQ(tarnix::fileprovider::displayableCloudName(std::string("a/b\0c\xC3\x28", 7)),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD"
            "c\xEF\xBF\xBD(");
  EXPECT_EQ(tarnix::fileprovider::displayableCloudName("Übersicht"), "Übersicht");
}

// MARK: What a listing changes

SyncItem folderItem(const std::string& id, const SyncFolderIdentifier& parent,
                    const std::string& name) {
  SyncItem item;
  item.itemIdentifier = SyncFolderIdentifier{id};
  item.parentItemIdentifier = parent;
  item.cloudIdentifier = CloudFolderIdentifier{"c-" + id};
  item.filename = name;
  return item;
}

SyncItem fileItem(const std::string& id, const SyncFolderIdentifier& parent,
                  const std::string& name, std::int64_t size = 1) {
  SyncItem item;
  item.itemIdentifier = SyncFileIdentifier{id};
  item.parentItemIdentifier = parent;
  item.cloudIdentifier = CloudGroupIdentifier{"c-" + id};
  item.filename = name;
  item.contentSize = size;
  item.contentVersion = tarnix::common::CloudEntryIdentifier{"e1"};
  return item;
}

class ListingChangesTest : public ::testing::Test {
 protected:
  ListingChangesTest() {
    folder_ = folderItem("top", SyncFolderIdentifier::zero(), "Team");
    listing_.folderItem = folder_;
    listing_.version = "v2";
  }
  // The listing as the cloud client builds it: listed children carry the folder as parent.
  void list(SyncItem item) {
    item.parentItemIdentifier = top();
    (item.isFolder() ? listing_.childFolderItems : listing_.childFileItems).push_back(item);
  }
  auto compute(std::int64_t user = 7) {
    std::vector<SyncItem> known = stored_;
    known.insert(known.end(), elsewhere_.begin(), elsewhere_.end());
    return tarnix::fileprovider::computeListingChanges(folder_, listing_, stored_, known, user);
  }
  SyncFolderIdentifier top() const { return *folder_.itemIdentifier.folder(); }

  SyncItem folder_;
  SyncCloudFolderItems listing_;
  std::vector<SyncItem> stored_;
  std::vector<SyncItem> elsewhere_;
};

TEST_F(ListingChangesTest, SortsListedChildrenIntoCreatedModifiedAndVanished) {
  stored_ = {fileItem("same", top(), "same.txt"), fileItem("edited", top(), "old.txt"),
             folderItem("gone", top(), "Gone"), fileItem("local", top(), "uploading.txt")};
  stored_.back().cloudIdentifier.reset();  // not in the cloud yet
  elsewhere_ = {folderItem("movedin", SyncFolderIdentifier{"other"}, "Moved")};

  list(fileItem("same", top(), "same.txt"));
  auto edited = fileItem("edited", top(), "new.txt", 42);
  edited.contentVersion = tarnix::common::CloudEntryIdentifier{"e2"};
  list(edited);
  list(folderItem("movedin", top(), "Moved"));
  list(fileItem("new", top(), "new-file.txt"));

  auto changes = compute();
  ASSERT_TRUE(changes) << changes.error().description();
  ASSERT_EQ(changes->patch.createdItems.size(), 1u);
  const auto& created = changes->patch.createdItems[0];
  EXPECT_EQ(created.filename, "new-file.txt");
  EXPECT_EQ(created.parentItemIdentifier, top());
  // A new item gets a fresh identity, not one the cloud client may have reused.
  EXPECT_NE(created.itemIdentifier, SyncFileIdentifier{"new"});
  EXPECT_FALSE(created.isMaterialized);

  std::map<std::string, tarnix::common::PatchedSyncItem> modified;
  for (const auto& item : changes->patch.modifiedItems) {
    modified.emplace(item.itemIdentifier().rawValue(), item);
  }
  ASSERT_EQ(modified.size(), 2u);
  EXPECT_EQ(modified.at("edited").item().filename, "new.txt");
  EXPECT_EQ(modified.at("edited").item().contentSize, 42);
  EXPECT_EQ(modified.at("movedin").item().parentItemIdentifier, top());

  ASSERT_EQ(changes->vanishedItems.size(), 1u);
  EXPECT_EQ(changes->vanishedItems[0].itemIdentifier, SyncFolderIdentifier{"gone"});
  EXPECT_TRUE(changes->unwantedItems.empty());
}

TEST_F(ListingChangesTest, AFolderNowFixedInTheCloudIsModifiedThoughNothingElseChanged) {
  stored_ = {folderItem("sub", top(), "Sub")};
  auto fixed = folderItem("sub", top(), "Sub");
  fixed.flags.insert(tarnix::common::SyncItemFlags::isFixedFolder);
  list(fixed);
  auto changes = compute();
  ASSERT_TRUE(changes);
  ASSERT_EQ(changes->patch.modifiedItems.size(), 1u);
  EXPECT_TRUE(changes->patch.modifiedItems[0].item().flags.contains(
      tarnix::common::SyncItemFlags::isFixedFolder));
}

TEST_F(ListingChangesTest, UnsafeAndUnwantedNamesNeverBecomeItems) {
  // A stored item renamed in the cloud to an unsafe name leaves the folder; it comes back under
  // a safe name with a later listing.
  stored_ = {fileItem("renamed", top(), "fine.txt")};
  const std::vector<std::string> bad = {
      "", ".", "..", "a/../../b", std::string("x\0y", 3), "\xFF\xFE", ".DS_Store", "._cover.jpg"};
  int index = 0;
  for (const auto& name : bad) list(fileItem("bad" + std::to_string(index++), top(), name));
  list(folderItem("dotdot", top(), ".."));
  list(fileItem("renamed", top(), "../escape.txt"));

  auto changes = compute();
  ASSERT_TRUE(changes);
  EXPECT_TRUE(changes->patch.createdItems.empty());
  for (const auto& item : changes->patch.modifiedItems) {
    EXPECT_EQ(item.itemIdentifier(), folder_.itemIdentifier) << item.item().filename;
  }
  EXPECT_EQ(changes->unwantedItems.size(), bad.size() + 2);
  for (const auto& unwanted : changes->unwantedItems) {
    EXPECT_EQ(unwanted.filename.find('/'), std::string::npos);
    EXPECT_EQ(unwanted.filename.find('\0'), std::string::npos);
    EXPECT_TRUE(tarnix::base::isValidUTF8(unwanted.filename));
  }
  ASSERT_EQ(changes->vanishedItems.size(), 1u);
  EXPECT_EQ(changes->vanishedItems[0].itemIdentifier, SyncFileIdentifier{"renamed"});

  // Fixed in the cloud: the same cloud item comes in again.
  listing_.childFolderItems.clear();
  listing_.childFileItems = {fileItem("renamed", top(), "escape.txt")};
  stored_.clear();
  auto fixed = compute();
  ASSERT_TRUE(fixed);
  ASSERT_EQ(fixed->patch.createdItems.size(), 1u);
  EXPECT_EQ(fixed->patch.createdItems[0].filename, "escape.txt");
  EXPECT_TRUE(fixed->unwantedItems.empty());
}

TEST_F(ListingChangesTest, ANegativeSizeInvalidatesTheWholeListing) {
  list(fileItem("good", top(), "good.txt"));
  list(fileItem("bad", top(), "bad.txt", -5));
  auto changes = compute();
  ASSERT_FALSE(changes);
  EXPECT_EQ(changes.error().code(), SyncError::Code::badServerResponse);
}

TEST_F(ListingChangesTest, ReportsReleasedLocksAndTheUsersOwn) {
  auto mine = fileItem("mine", top(), "mine.docx");
  mine.lockInfo = CloudLockInfo{7, "Ada", "Lovelace", std::nullopt, std::nullopt};
  auto theirs = fileItem("theirs", top(), "theirs.docx");
  theirs.lockInfo = CloudLockInfo{8, "Bob", "B", std::nullopt, std::nullopt};
  auto kept = fileItem("kept", top(), "kept.docx");
  kept.lockInfo = CloudLockInfo{8, "Bob", "B", std::nullopt, std::nullopt};
  stored_ = {mine, theirs, kept};
  list(fileItem("mine", top(), "mine.docx"));
  list(fileItem("theirs", top(), "theirs.docx"));
  list(kept);

  auto changes = compute(7);
  ASSERT_TRUE(changes);
  EXPECT_EQ(changes->removedLocks.size(), 2u);
  EXPECT_TRUE(changes->patch.userLockRemovedRemotely);
  EXPECT_EQ(changes->patch.modifiedItems.size(), 2u);

  auto others = compute(99);
  ASSERT_TRUE(others);
  EXPECT_FALSE(others->patch.userLockRemovedRemotely);

  // A lock whose holder was never named was nobody's, also for a user not known.
  stored_ = {fileItem("unnamed", top(), "unnamed.docx")};
  stored_.back().lockInfo = CloudLockInfo{};
  listing_.childFileItems.clear();
  list(fileItem("unnamed", top(), "unnamed.docx"));
  auto unnamed = compute(CloudLockInfo::kUnknownUser);
  ASSERT_TRUE(unnamed);
  EXPECT_EQ(unnamed->removedLocks.size(), 1u);
  EXPECT_FALSE(unnamed->patch.userLockRemovedRemotely);
}

TEST_F(ListingChangesTest, ACloudItemListedTwiceIsTakenOnce) {
  list(fileItem("twice", top(), "a.txt"));
  list(fileItem("twice", top(), "b.txt"));
  auto changes = compute();
  ASSERT_TRUE(changes);
  ASSERT_EQ(changes->patch.createdItems.size(), 1u);
  EXPECT_EQ(changes->patch.createdItems[0].filename, "a.txt");
  EXPECT_EQ(changes->duplicateEntries, 1u);
}

TEST_F(ListingChangesTest, AnUnchangedListingChangesNothing) {
  stored_ = {fileItem("a", top(), "a.txt"), folderItem("b", top(), "B")};
  list(stored_[0]);
  list(stored_[1]);
  auto changes = compute();
  ASSERT_TRUE(changes);
  EXPECT_TRUE(changes->patch.createdItems.empty());
  EXPECT_TRUE(changes->patch.modifiedItems.empty());
  EXPECT_TRUE(changes->vanishedItems.empty());
}

// MARK: Coordinator

// Holds the jobs the coordinator starts until the test completes them.
class HoldingDelegate final : public ListingCoordinatorDelegate {
 public:
  void listingCoordinator(const ListingRequest& request, ListingOrigin, bool force,
                          ListingCompletion completionHandler) override {
    std::lock_guard lock(mutex_);
    started_.push_back(request);
    forced_.push_back(force);
    running_.emplace_back(request, std::move(completionHandler));
    changed_.notify_all();
  }
  /// The requests started so far, once there are `count` of them (or after a timeout).
  std::vector<ListingRequest> started(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return started_.size() >= count; });
    return started_;
  }
  /// Whether each started request was forced, in the order they started.
  std::vector<bool> forced() {
    std::lock_guard lock(mutex_);
    return forced_;
  }
  void complete(const ListingRequest& request, ListingResult<void> outcome) {
    ListingCompletion completion;
    {
      std::lock_guard lock(mutex_);
      auto found = std::ranges::find_if(running_, [&](auto& r) { return r.first == request; });
      ASSERT_NE(found, running_.end()) << request.description();
      completion = std::move(found->second);
      running_.erase(found);
    }
    completion(std::move(outcome));
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ListingRequest> started_;
  std::vector<bool> forced_;
  std::vector<std::pair<ListingRequest, ListingCompletion>> running_;
};

// Collects outcomes and checks that they arrive on the notify queue.
class Outcomes {
 public:
  explicit Outcomes(std::shared_ptr<tarnix::base::DispatchQueue> queue)
      : queue_(std::move(queue)) {}
  ListingCompletion callback(std::string name) {
    return [this, name](ListingResult<void> result) {
      std::lock_guard lock(mutex_);
      onNotifyQueue_ = onNotifyQueue_ && queue_->isCurrent();
      results_.emplace_back(name, result ? std::string("ok") : result.error().description());
      changed_.notify_all();
    };
  }
  std::vector<std::pair<std::string, std::string>> wait(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return results_.size() >= count; });
    return results_;
  }
  bool allOnNotifyQueue() {
    std::lock_guard lock(mutex_);
    return onNotifyQueue_;
  }

 private:
  std::shared_ptr<tarnix::base::DispatchQueue> queue_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<std::string, std::string>> results_;
  bool onNotifyQueue_ = true;
};

ListingRequest request(const std::string& folder) {
  return ListingRequest::byIdentifier(SyncFolderIdentifier{folder}, false);
}

TEST(ListingCoordinatorTest, MergesEqualRequestsRunsAFewAtOnceFirstInFirstOut) {
  auto notify = tarnix::base::DispatchQueue::make("test.notify");
  auto log = tarnix::testing::CapturingLogSink::makeLogger();
  auto coordinator = ListingCoordinator::make(notify, log.first, 2);
  auto delegate = std::make_shared<HoldingDelegate>();
  coordinator->setDelegate(delegate);
  Outcomes outcomes(notify);

  coordinator->add(request("a"), ListingOrigin::enumerator, false, outcomes.callback("a1"));
  coordinator->add(request("b"), ListingOrigin::enumerator, false, outcomes.callback("b1"));
  coordinator->add(request("c"), ListingOrigin::red, false, outcomes.callback("c1"));
  coordinator->add(request("a"), ListingOrigin::red, true, outcomes.callback("a2"));  // active
  coordinator->add(request("d"), ListingOrigin::enumerator, false, outcomes.callback("d1"));
  coordinator->add(request("c"), ListingOrigin::enumerator, false,
                   outcomes.callback("c2"));  // pending
  // The same folder with another payload is another request.
  coordinator->add(ListingRequest::byIdentifier(SyncFolderIdentifier{"a"}, true),
                   ListingOrigin::enumerator, false, outcomes.callback("a-locks"));

  EXPECT_EQ(delegate->started(2), (std::vector{request("a"), request("b")}));
  auto counts = coordinator->counts();
  EXPECT_EQ(counts.active, 2u);
  EXPECT_EQ(counts.pending, 3u);

  delegate->complete(request("a"), {});
  EXPECT_EQ(delegate->started(3).back(), request("c"));
  delegate->complete(request("b"),
                     std::unexpected(ListingError(SyncError(SyncError::Code::permissionDenied))));
  EXPECT_EQ(delegate->started(4).back(), request("d"));
  delegate->complete(request("c"), {});
  delegate->complete(request("d"), {});
  auto withLocks = ListingRequest::byIdentifier(SyncFolderIdentifier{"a"}, true);
  EXPECT_EQ(delegate->started(5).back(), withLocks);
  delegate->complete(withLocks, {});

  auto results = outcomes.wait(7);
  std::map<std::string, std::string> byName(results.begin(), results.end());
  EXPECT_EQ(byName.size(), 7u);
  EXPECT_EQ(byName["a1"], "ok");
  EXPECT_EQ(byName["a2"], "ok");
  EXPECT_EQ(byName["c1"], "ok");
  EXPECT_EQ(byName["c2"], "ok");
  EXPECT_EQ(byName["b1"], SyncError(SyncError::Code::permissionDenied).description());
  EXPECT_TRUE(outcomes.allOnNotifyQueue());
  EXPECT_EQ(delegate->started(5).size(), 5u);  // merged requests never started twice

  // A job that is done takes no more callbacks: the same request lists again.
  coordinator->add(request("a"), ListingOrigin::enumerator, false, outcomes.callback("a3"));
  EXPECT_EQ(delegate->started(6).back(), request("a"));
  delegate->complete(request("a"), {});
  EXPECT_EQ(outcomes.wait(8).size(), 8u);
  EXPECT_EQ(coordinator->counts().active, 0u);
}

TEST(ListingCoordinatorTest, AForcedRequestJoiningAWaitingJobMakesItForced) {
  auto notify = tarnix::base::DispatchQueue::make("test.notify");
  auto coordinator = ListingCoordinator::make(notify, tarnix::base::Logger::null(), 1);
  auto delegate = std::make_shared<HoldingDelegate>();
  coordinator->setDelegate(delegate);
  Outcomes outcomes(notify);

  coordinator->add(request("a"), ListingOrigin::enumerator, false, outcomes.callback("a"));
  coordinator->add(request("b"), ListingOrigin::enumerator, false, outcomes.callback("b1"));
  coordinator->add(request("b"), ListingOrigin::red, true, outcomes.callback("b2"));
  coordinator->add(request("c"), ListingOrigin::red, true, outcomes.callback("c1"));
  coordinator->add(request("c"), ListingOrigin::enumerator, false, outcomes.callback("c2"));
  const std::vector<std::string> folders = {"a", "b", "c"};
  for (std::size_t i = 0; i < folders.size(); ++i) {
    ASSERT_EQ(delegate->started(i + 1).size(), i + 1);  // one runs at a time
    delegate->complete(request(folders[i]), {});
  }
  EXPECT_EQ(outcomes.wait(5).size(), 5u);
  EXPECT_EQ(delegate->started(3), (std::vector{request("a"), request("b"), request("c")}));
  // b's waiting job became forced; c stays forced when an unforced request joins it.
  EXPECT_EQ(delegate->forced(), (std::vector{false, true, true}));
}

TEST(ListingCoordinatorTest, WithoutADelegateEveryWaiterGetsAnError) {
  auto notify = tarnix::base::DispatchQueue::make("test.notify");
  auto coordinator = ListingCoordinator::make(notify, tarnix::base::Logger::null(), 1);
  {
    auto gone = std::make_shared<HoldingDelegate>();
    coordinator->setDelegate(gone);
  }
  Outcomes outcomes(notify);
  coordinator->add(request("a"), ListingOrigin::enumerator, false, outcomes.callback("a"));
  coordinator->add(request("b"), ListingOrigin::enumerator, false, outcomes.callback("b"));
  auto results = outcomes.wait(2);
  ASSERT_EQ(results.size(), 2u);
  for (const auto& [name, text] : results) EXPECT_NE(text, "ok") << name;
  EXPECT_EQ(coordinator->counts().active, 0u);
}

}  // namespace
