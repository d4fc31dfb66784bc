// A folder's children as the cloud lists them, through the online listing service against the
// emulator: what comes back, what is left out, and that nothing is stored.
#include <gtest/gtest.h>

#include <future>

#include "base/Uuid.hpp"
#include "integration/ListingServiceFixture.hpp"

namespace tarnix::testing {
namespace {

using namespace std::chrono_literals;
using fileprovider::ListingResult;

class ListingCloudItemsTest : public ListingServiceTest {
 protected:
  void SetUp() override {
    ListingServiceTest::SetUp();
    ASSERT_TRUE(storage_->setRootItem(folderAt("/Shared")));
  }

  ListingResult<std::vector<common::CloudItem>> enumerate(const common::SyncItem& parent) {
    std::promise<ListingResult<std::vector<common::CloudItem>>> promise;
    auto future = promise.get_future();
    service_->enumerateCloudItems(
        parent, [&promise](auto result) { promise.set_value(std::move(result)); });
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }
};

TEST_F(ListingCloudItemsTest, GivesTheCloudsChildrenWithoutStoringThemOrTheUnwantedOnes) {
  const std::string name = "cloud-items-" + base::makeUuid().substr(0, 8);
  auto folder = makeFolder(folderAt("/Shared"), name);
  auto file = uploadFile("/Shared/" + name + "/notes.txt", "three", folder);
  uploadFile("/Shared/" + name + "/.DS_Store", "junk", folder);
  makeFolder(folder, "Sub");

  auto items = enumerate(folder);
  ASSERT_TRUE(items) << items.error().description();
  ASSERT_EQ(items->size(), 2u);
  const auto& sub = (*items)[0];
  const auto& notes = (*items)[1];
  EXPECT_EQ(sub.filename, "Sub");
  EXPECT_TRUE(sub.identifier.isFolder());
  EXPECT_EQ(notes.filename, "notes.txt");
  EXPECT_FALSE(notes.identifier.isFolder());
  EXPECT_EQ(notes.contentSize, 5);
  EXPECT_EQ(notes.contentVersion, file.contentVersion);
  EXPECT_EQ(notes.parentIdentifier, *folder.itemIdentifier.folder());

  auto stored = storage_->enumerateAllItems(*folder.itemIdentifier.folder(),
                                            common::SyncItemReadOptions::skipExtendedAttributes);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->empty()) << "asking the cloud stores nothing";

  auto notAFolder = enumerate(file);
  ASSERT_FALSE(notAFolder);
  ASSERT_TRUE(notAFolder.error().syncError());
  EXPECT_EQ(notAFolder.error().syncError()->code(), common::SyncError::Code::noCloudIdentifier);
}

}  // namespace
}  // namespace tarnix::testing
