// A folder's children as the cloud lists them, through the online listing service against the
// emulator: what comes back, what is left out, and that nothing is stored.
#include <gtest/gtest.h>

#include <future>

#include "base/Uuid.hpp"
#include "common/DriveDatabase.hpp"
#include "fileprovider/listing/ListingService.hpp"
#include "integration/CloudClientFixture.hpp"
#include "support/TempDir.hpp"

namespace tarnix::testing {
namespace {

using namespace std::chrono_literals;
using fileprovider::ListingResult;

class ListingCloudItemsTest : public CloudClientTest {
 protected:
  void SetUp() override {
    auto database =
        common::DriveDatabase::open(dir_.path(), "2f6f4b1e-8d3a-4c55-a0f1-5b8e7d9c1a20");
    ASSERT_TRUE(database) << database.error().description();
    database_ = std::move(*database);
    auto storage = common::SyncItemStorage::make(database_->dbQueue(), "/Shared", nullptr);
    ASSERT_TRUE(storage) << storage.error().description();
    storage_ = std::move(*storage);
    ASSERT_TRUE(storage_->setRootItem(folderAt("/Shared")));
    fileprovider::ListingService::Collaborators collaborators;
    collaborators.itemStorage = storage_;
    collaborators.cloudClient = client();
    collaborators.metadataStorage = std::make_shared<fileprovider::ListingMetadataStorage>(
        database_->dbQueue(), base::Logger::null());
    service_ = std::make_shared<fileprovider::ListingService>(std::move(collaborators),
                                                              base::Logger::null());
  }

  ListingResult<std::vector<common::CloudItem>> enumerate(const common::SyncItem& parent) {
    std::promise<ListingResult<std::vector<common::CloudItem>>> promise;
    auto future = promise.get_future();
    service_->enumerateCloudItems(
        parent, [&promise](auto result) { promise.set_value(std::move(result)); });
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }

  TempDir dir_{"tarnix-cloud-items"};
  std::unique_ptr<common::DriveDatabase> database_;
  std::shared_ptr<common::SyncItemStorage> storage_;
  std::shared_ptr<fileprovider::ListingService> service_;
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
