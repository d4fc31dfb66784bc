#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "SeededDrive.hpp"
#include "base/Uuid.hpp"
#include "fileprovider/Provider.hpp"
#include "fileprovider/enumeration/EnumerationObserver.hpp"
#include "fileprovider/enumeration/Enumerator.hpp"
#include "fileprovider/sync/ItemDebouncer.hpp"

using namespace tarnix::common;
using namespace tarnix::fileprovider;
using namespace tarnix::testing;
namespace fp = tarnix::platform::fileprovider;

namespace {

std::vector<std::string> identifiersOf(const std::vector<fp::ItemPtr>& items) {
  std::vector<std::string> texts;
  for (const auto& item : items) texts.push_back(item->itemIdentifier().rawValue());
  return texts;
}

std::shared_ptr<Provider> providerOf(FrameworkHost& host) {
  return std::dynamic_pointer_cast<Provider>(host.wrapper().wrappedProvider());
}

class EnumerationTest : public ::testing::Test {
 protected:
  // Starts the domain over a root with `files` files and `folders` folders.
  void startWith(int files, int folders) {
    std::vector<SyncItem> children;
    for (int i = 0; i < files + folders; ++i) {
      const auto raw = tarnix::base::makeUuid();
      SyncItemIdentifier identifier = i < files ? SyncItemIdentifier(SyncFileIdentifier{raw})
                                                : SyncItemIdentifier(SyncFolderIdentifier{raw});
      expected_.push_back(identifier.description());
      children.push_back(seedItem(identifier, kSeedRoot, "item " + std::to_string(i)));
    }
    std::ranges::sort(expected_);
    seedDrive(host_, children);
    host_.start();
    provider_ = providerOf(host_);
    ASSERT_TRUE(provider_) << "the domain did not start";
  }

  FrameworkHost host_;
  std::shared_ptr<Provider> provider_;
  std::vector<std::string> expected_;
};

}  // namespace

TEST_F(EnumerationTest, TenThousandChildrenComeOnceInIdentifierOrderInPagesOfTheSuggestedSize) {
  startWith(6000, 4000);
  const auto result = host_.enumerate(fp::ItemIdentifier::rootContainer(), 700);
  ASSERT_FALSE(result.error) << result.error->description();
  EXPECT_EQ(identifiersOf(result.items), expected_);
  ASSERT_GE(result.pageSizes.size(), 15u);
  for (std::size_t i = 0; i + 1 < result.pageSizes.size(); ++i) {
    EXPECT_EQ(result.pageSizes[i], 700u) << "page " << i;
  }
  for (const auto& item : result.items) {
    EXPECT_EQ(item->parentItemIdentifier(), fp::ItemIdentifier::rootContainer());
  }
}

TEST_F(EnumerationTest, SmallSuggestedPageSizesAreRaisedToOneHundred) {
  startWith(150, 100);
  for (auto suggested : {std::optional<std::int64_t>(40), std::optional<std::int64_t>()}) {
    const auto result = host_.enumerate(fp::ItemIdentifier::rootContainer(), suggested);
    EXPECT_EQ(identifiersOf(result.items), expected_);
    ASSERT_GE(result.pageSizes.size(), 3u);
    EXPECT_EQ(result.pageSizes[0], 100u);
    EXPECT_EQ(result.pageSizes[1], 100u);
    EXPECT_EQ(result.pageSizes[2], 50u);
  }
}

TEST_F(EnumerationTest, ChangeEnumerationDeliversExactlyTheChangesSinceTheAnchor) {
  startWith(3, 2);
  auto enumerator = *host_.wrapper().enumerator(fp::ItemIdentifier::rootContainer(), {});
  const auto anchor = host_.currentAnchor(enumerator);
  EXPECT_TRUE(anchor.rawValue.starts_with("tx")) << anchor.rawValue;

  auto& storage = *provider_->itemStorage();
  const auto renamed = *SyncItemIdentifier::fromPrefixed(expected_[0]);
  const auto removed = *SyncItemIdentifier::fromPrefixed(expected_[1]);
  PatchedSyncItem patch(*storage.item(renamed));
  patch.setFilename("renamed.txt");
  ASSERT_TRUE(storage.update(patch));
  ASSERT_TRUE(storage.deleteItem(removed, std::nullopt, false, true));
  ASSERT_TRUE(storage.storeNewItem(seedItem(SyncFileIdentifier{"new-one"}, kSeedRoot, "new.txt")));
  // Elsewhere in the drive: not a change of the root container's children.
  ASSERT_TRUE(storage.storeNewItem(
      seedItem(SyncFileIdentifier{"deep"},
               *SyncItemIdentifier::fromPrefixed(expected_[4])->folder(), "deep.txt")));

  const auto changes = host_.follow(enumerator, anchor);
  ASSERT_FALSE(changes.error) << changes.error->description();
  auto updated = identifiersOf(changes.updated);
  std::ranges::sort(updated);
  std::vector<std::string> expectedUpdates{"file/new-one", renamed.description()};
  std::ranges::sort(expectedUpdates);
  EXPECT_EQ(updated, expectedUpdates);
  EXPECT_EQ(changes.deleted,
            std::vector<fp::ItemIdentifier>{fp::ItemIdentifier(removed.description())});
  for (const auto& item : changes.updated) {
    if (item->itemIdentifier().rawValue() == renamed.description()) {
      EXPECT_EQ(item->filename(), "renamed.txt");
    }
  }

  const auto again = host_.follow(enumerator, changes.anchor);
  EXPECT_TRUE(again.updated.empty());
  EXPECT_TRUE(again.deleted.empty());
  EXPECT_EQ(again.anchor, changes.anchor);
  enumerator->invalidate();
}

TEST_F(EnumerationTest, BatchSizesFollowTheSuggestionWithAFloorOfOneHundred) {
  startWith(250, 0);
  auto enumerator = *host_.wrapper().enumerator(fp::ItemIdentifier::workingSet(), {});
  const auto anchor = host_.currentAnchor(enumerator);
  auto& storage = *provider_->itemStorage();
  for (const auto& text : expected_) {
    ASSERT_TRUE(storage.refreshItem(*SyncItemIdentifier::fromPrefixed(text)));
  }
  struct Case {
    std::optional<std::int64_t> suggested;
    int batches;
  };
  for (const auto& c : {Case{10, 3}, Case{1000, 1}, Case{std::nullopt, 3}}) {
    const auto changes = host_.follow(enumerator, anchor, c.suggested);
    EXPECT_EQ(changes.batches, c.batches) << c.suggested.value_or(-1);
    EXPECT_EQ(changes.updated.size(), 250u);
  }
}

TEST_F(EnumerationTest, WorkingSetIsOneEnumeratorThatAnnouncesWhenDrained) {
  startWith(120, 0);
  auto first = *host_.wrapper().enumerator(fp::ItemIdentifier::workingSet(), {});
  auto second = *host_.wrapper().enumerator(fp::ItemIdentifier::workingSet(), {});
  EXPECT_EQ(first.get(), second.get());
  std::atomic<int> drained{0};
  auto token = provider_->workingSetEnumerator()->drainedPublisher().subscribe([&] { ++drained; });
  const auto changes = host_.follow(first, fp::SyncAnchor{"tx0"}, 100);
  EXPECT_EQ(changes.batches, 2);
  EXPECT_EQ(drained.load(), 1) << "only the batch with nothing more coming drains";
  provider_->workingSetEnumerator()->drainedPublisher().unsubscribe(token);

  const auto all = host_.enumerate(fp::ItemIdentifier::workingSet());
  EXPECT_EQ(all.items.size(), 121u) << "every alive item, the root included";
}

TEST_F(EnumerationTest, BadPagesAndAnchorsAndExpiredAnchorsAskForAFreshStart) {
  startWith(2, 0);
  for (const auto& container :
       {fp::ItemIdentifier::rootContainer(), fp::ItemIdentifier::workingSet()}) {
    auto enumerator = *host_.wrapper().enumerator(container, {});
    for (const auto* page : {"bogus", "file", "Folder/x", ""}) {
      auto observer = std::make_shared<PageObserver>();
      enumerator->enumerateItems(observer, fp::Page{page});
      auto outcome = observer->wait();
      ASSERT_TRUE(outcome.error) << page;
      EXPECT_TRUE(outcome.error->is(fp::FileProviderErrorCode::pageExpired)) << page;
    }
    for (const auto* anchor : {"", "tx", "ty12", "tx12a", "tx 12", "12", "tx+1"}) {
      auto observer = std::make_shared<ChangeObserver>();
      enumerator->enumerateChanges(observer, fp::SyncAnchor{anchor});
      auto outcome = observer->wait();
      ASSERT_TRUE(outcome.error) << anchor;
      EXPECT_TRUE(outcome.error->is(fp::FileProviderErrorCode::syncAnchorExpired)) << anchor;
    }
    enumerator->invalidate();
  }
  EXPECT_EQ(host_.logs().count("Page for enumeration is invalid"), 4u);
  EXPECT_EQ(host_.logs().count("Requested to enumerate Working Set from invalid page"), 4u);
  EXPECT_EQ(host_.logs().count("Sync anchor is invalid"), 7u);
  EXPECT_EQ(
      host_.logs().count("Invalid sync anchor for working set enumeration given by FP daemon."),
      7u);

  auto& storage = *provider_->itemStorage();
  const auto current = *storage.currentSyncAnchor();
  ASSERT_TRUE(storage.purgeGraveyard(0, current.rank));
  auto enumerator = *host_.wrapper().enumerator(fp::ItemIdentifier::rootContainer(), {});
  const auto expired = host_.follow(enumerator, fp::SyncAnchor{"tx0"});
  ASSERT_TRUE(expired.error);
  EXPECT_TRUE(expired.error->is(fp::FileProviderErrorCode::syncAnchorExpired));
  EXPECT_FALSE(host_.follow(enumerator, encodeSyncAnchor(current)).error);
}

TEST_F(EnumerationTest, MissingContainerAndFileContainers) {
  startWith(1, 0);
  const auto missing = host_.enumerate(fp::ItemIdentifier("folder/not-there"));
  ASSERT_TRUE(missing.error);
  EXPECT_TRUE(missing.error->is(fp::FileProviderErrorCode::noSuchItem));
  const auto file = host_.enumerate(fp::ItemIdentifier(expected_[0]));
  EXPECT_FALSE(file.error);
  EXPECT_TRUE(file.items.empty());
}

namespace {
struct CountingTracker final : CloudItemPresentationTracker {
  std::atomic<int> started{0};
  std::atomic<int> stopped{0};
  void didStartPresenting(const SyncItemIdentifier&) override { ++started; }
  void didStopPresenting(const SyncItemIdentifier&) override { ++stopped; }
};
}  // namespace

TEST(EnumeratorPresentation, StartsOnceAndEndsOnceHoweverOftenInvalidated) {
  auto tracker = std::make_shared<CountingTracker>();
  {
    Enumerator enumerator(nullptr, nullptr, nullptr, tracker, tarnix::base::Logger::null(),
                          SyncFolderIdentifier{"f"});
    EXPECT_EQ(tracker->started.load(), 1);
    enumerator.invalidate();
    enumerator.invalidate();
    EXPECT_EQ(tracker->stopped.load(), 1);
  }
  EXPECT_EQ(tracker->stopped.load(), 1);
  {
    Enumerator dropped(nullptr, nullptr, nullptr, tracker, tarnix::base::Logger::null(),
                       SyncFolderIdentifier{"g"});
  }
  EXPECT_EQ(tracker->started.load(), 2);
  EXPECT_EQ(tracker->stopped.load(), 2) << "an enumerator dropped unannounced still ends";
}

TEST(SyncAnchorText, RoundTripsRanks) {
  for (std::int64_t rank : {0LL, 1234LL, -5LL, 9007199254740993LL}) {
    const auto encoded = encodeSyncAnchor({rank});
    EXPECT_EQ(decodeSyncAnchor(encoded), SyncAnchor{rank});
  }
  EXPECT_EQ(encodeSyncAnchor({1234}).rawValue, "tx1234");
  EXPECT_EQ(decodeSyncAnchor(fp::SyncAnchor{"tx99999999999999999999"}), std::nullopt);
}

TEST(ItemDebouncer, ABurstForOneItemRunsOnceAfterTheLastCall) {
  using std::chrono::milliseconds;
  auto clock = tarnix::base::ManualClock::make();
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  std::atomic<int> later{0};
  {
    ItemDebouncer debouncer(0.2, clock);
    for (int i = 0; i < 3; ++i) debouncer.debounce(fp::ItemIdentifier("file/a"), [&] { ++first; });
    debouncer.debounce(fp::ItemIdentifier("file/b"), [&] { ++second; });
    // Every call has set its timer (the replaced ones stay set, cancelled).
    ASSERT_TRUE(eventually([&] { return clock->pendingTimers() == 4; }));
    clock->advance(milliseconds(199));
    EXPECT_EQ(first.load() + second.load(), 0);
    clock->advance(milliseconds(1));
    EXPECT_TRUE(eventually([&] { return first.load() == 1 && second.load() == 1; }));
    // Whatever the replaced calls left behind has run once a later action has.
    debouncer.debounce(fp::ItemIdentifier("file/c"), [&] { ++later; });
    ASSERT_TRUE(eventually([&] { return clock->pendingTimers() == 1; }));
    clock->advance(milliseconds(400));
    EXPECT_TRUE(eventually([&] { return later.load() == 1; }));
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), 1);
    // A pending action is dropped with the debouncer.
    debouncer.debounce(fp::ItemIdentifier("file/a"), [&] { ++first; });
  }
  clock->advance(milliseconds(400));
  EXPECT_EQ(first.load(), 1);
}
