// Two folders swapped in the cloud (Y, once inside X, now holds X) and listed in the unlucky
// order: the listing of Y, applied while the store still has Y inside X, would put X inside Y
// as well. The store refuses it (the listing fails with brokenTreeHierarchy and says so in the
// log), nothing hangs, and once the parent is listed the store ends with the cloud's tree.
#include <gtest/gtest.h>

#include <future>

#include "base/Uuid.hpp"
#include "integration/ListingServiceFixture.hpp"

namespace tarnix::testing {
namespace {

using namespace std::chrono_literals;

class ListingParentCycleTest : public ListingServiceTest {
 protected:
  // Lists the stored folder of that cloud identity and waits (bounded) for the outcome.
  fileprovider::ListingResult<fileprovider::ListingMetadata> list(const common::SyncItem& cloud) {
    auto stored = storage_->optionalItem(*cloud.cloudIdentifier);
    EXPECT_TRUE(stored && *stored) << cloud.filename << " is not stored";
    std::promise<fileprovider::ListingResult<fileprovider::ListingMetadata>> promise;
    auto future = promise.get_future();
    service_->refreshListing(**stored, [&](auto result) { promise.set_value(std::move(result)); });
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }

  void move(const common::SyncItem& item, const common::SyncItem& newParent) {
    auto sut = client();
    auto moved = run<common::SyncItem>([&](auto completion) {
      sut->moveItem(item, newParent, std::nullopt, std::nullopt, std::move(completion));
    });
    ASSERT_TRUE(moved) << moved.error().description();
  }

  // The stored parent of the alive item of that cloud identity, by its cloud folder name.
  std::string storedParentName(const common::SyncItem& cloud) {
    auto stored = storage_->optionalItem(*cloud.cloudIdentifier);
    if (!stored || !*stored) return "<not stored>";
    auto parent = storage_->item(common::SyncItemIdentifier((*stored)->parentItemIdentifier));
    return parent ? parent->filename : "<no parent>";
  }
};

TEST_F(ListingParentCycleTest, FoldersSwappedInTheCloudAndListedChildFirstNeverLoop) {
  const std::string name = "cycle-" + base::makeUuid().substr(0, 8);
  const auto top = makeFolder(folderAt("/Shared"), name);
  const auto x = makeFolder(top, "X");
  const auto y = makeFolder(x, "Y");
  ASSERT_TRUE(storage_->setRootItem(top));
  ASSERT_TRUE(list(top));
  ASSERT_TRUE(list(x));
  ASSERT_EQ(storedParentName(y), "X");

  move(y, top);
  move(x, y);

  // Y, still stored inside X, lists X as its child.
  auto refused = list(y);
  ASSERT_FALSE(refused);
  ASSERT_TRUE(refused.error().syncError()) << refused.error().description();
  EXPECT_EQ(refused.error().syncError()->code(), common::SyncError::Code::brokenTreeHierarchy);
  EXPECT_EQ(sink_->count("Refusing a change that would put a folder inside itself"), 1u);
  EXPECT_EQ(storedParentName(x), name);
  EXPECT_EQ(storedParentName(y), "X");

  ASSERT_TRUE(list(top));
  ASSERT_TRUE(list(y));
  EXPECT_EQ(storedParentName(y), name);
  EXPECT_EQ(storedParentName(x), "Y");
  auto stored = storage_->optionalItem(*x.cloudIdentifier);
  ASSERT_TRUE(stored && *stored);
  auto path = storage_->queryCloudPath((*stored)->itemIdentifier);
  ASSERT_TRUE(path) << path.error().description();
  EXPECT_EQ(*path, "/Y/X");
}

}  // namespace
}  // namespace tarnix::testing
