#include "platform/fileprovider/FakeManager.hpp"
#include "platform/fileprovider/FileProvider.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace tarnix::platform::fileprovider;

namespace {

TEST(ItemIdentifierTest, ContainersHaveTheFrameworkTexts) {
  struct Row {
    const ItemIdentifier& identifier;
    std::string_view rawValue;
    bool root, workingSet, trash;
  };
  const Row rows[] = {
      {ItemIdentifier::rootContainer(), "NSFileProviderRootContainerItemIdentifier", true, false,
       false},
      {ItemIdentifier::workingSet(), "NSFileProviderWorkingSetContainerItemIdentifier", false, true,
       false},
      {ItemIdentifier::trashContainer(), "NSFileProviderTrashContainerItemIdentifier", false, false,
       true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.identifier.rawValue(), row.rawValue);
    EXPECT_EQ(row.identifier.isRootContainer(), row.root);
    EXPECT_EQ(row.identifier.isWorkingSet(), row.workingSet);
    EXPECT_EQ(row.identifier.isTrashContainer(), row.trash);
  }
  ItemIdentifier plain("folder/1");
  EXPECT_FALSE(plain.isRootContainer() || plain.isWorkingSet() || plain.isTrashContainer());
  EXPECT_EQ(DomainIdentifier::kDefaultRawValue, "NSFileProviderDomainDefaultIdentifier");

  std::unordered_set<ItemIdentifier> set{ItemIdentifier("file/1"), ItemIdentifier("file/1")};
  EXPECT_EQ(set.size(), 1u);
  EXPECT_LT(ItemIdentifier("file/9"), ItemIdentifier("folder/1"));
}

TEST(ItemIdentifierTest, InitialPagesAreNeitherEachOtherNorIdentifiers) {
  EXPECT_TRUE(Page::initialPageSortedByDate().isInitial());
  EXPECT_TRUE(Page::initialPageSortedByName().isInitial());
  EXPECT_NE(Page::initialPageSortedByDate(), Page::initialPageSortedByName());
  EXPECT_FALSE(Page{"folder/NSFileProviderInitialPageSortedByName"}.isInitial());
  EXPECT_FALSE(Page{""}.isInitial());
}

TEST(ItemTest, CapabilityBitsAndFieldNames) {
  EXPECT_EQ(rawValue(ItemCapabilities::allowsReading | ItemCapabilities::allowsWriting |
                     ItemCapabilities::allowsReparenting | ItemCapabilities::allowsRenaming |
                     ItemCapabilities::allowsDeleting | ItemCapabilities::allowsEvicting),
            111u);
  EXPECT_EQ(rawValue(ItemCapabilities::allowsTrashing), 16u);
  auto caps = static_cast<ItemCapabilities>(111) & static_cast<ItemCapabilities>(109);
  EXPECT_FALSE(contains(caps, ItemCapabilities::allowsWriting));
  EXPECT_TRUE(contains(caps, ItemCapabilities::allowsReading | ItemCapabilities::allowsEvicting));
  EXPECT_EQ(static_cast<std::int64_t>(ContentPolicy::downloadEagerlyAndKeepDownloaded), 3);
  EXPECT_EQ(rawValue(DomainDisconnectionOptions::temporary), 1u);

  EXPECT_EQ(fieldNames(ItemFields::contents | ItemFields::parentItemIdentifier |
                       ItemFields::typeAndCreator),
            (std::vector<std::string>{"contents", "parentItemIdentifier", "typeAndCreator"}));
  EXPECT_EQ(fieldNames(static_cast<ItemFields>(1u << 12)),
            (std::vector<std::string>{"unknown(4096)"}));
}

TEST(ItemTest, SnapshotCopiesEveryProperty) {
  ItemProperties p;
  p.itemIdentifier = ItemIdentifier("file/5");
  p.parentItemIdentifier = ItemIdentifier::rootContainer();
  p.filename = "a.indd";
  p.capabilities = ItemCapabilities::allowsReading;
  p.itemVersion = {"c1", "m1"};
  p.contentPolicy = ContentPolicy::downloadLazily;
  p.documentSize = 12;
  p.creationDate = tarnix::base::dateFromMillisecondsSince1970(1000);
  p.tagData = "tags";
  p.fileSystemFlags = FileSystemFlags::userReadable | FileSystemFlags::hidden;
  p.extendedAttributes = {{"x", "y"}};
  p.typeAndCreator = TypeAndCreator{1, 2};
  p.userInfo = {{"realm", "online"}};
  p.decorations = {"com.tarnix.DesktopApp.FileProvider.isLocked"};
  auto original = ItemSnapshot::make(p);
  auto copy = ItemSnapshot::copy(*original);
  auto q = ItemProperties::of(*copy);
  EXPECT_EQ(q.itemIdentifier, p.itemIdentifier);
  EXPECT_EQ(q.itemVersion, p.itemVersion);
  EXPECT_EQ(q.contentPolicy, p.contentPolicy);
  EXPECT_EQ(q.documentSize, p.documentSize);
  EXPECT_EQ(q.creationDate, p.creationDate);
  EXPECT_EQ(q.tagData, p.tagData);
  EXPECT_EQ(q.fileSystemFlags, p.fileSystemFlags);
  EXPECT_EQ(q.extendedAttributes, p.extendedAttributes);
  EXPECT_EQ(q.typeAndCreator, p.typeAndCreator);
  EXPECT_EQ(q.userInfo, p.userInfo);
  EXPECT_EQ(q.decorations, p.decorations);
  EXPECT_FALSE(copy->isFolder());
}

TEST(FakeManagerTest, RecordsWhatTheExtensionAsks) {
  tarnix::testing::FakeManager manager({DomainIdentifier("d1"), "Drive"}, "/tmp/x");
  std::optional<Error> result = Error(CocoaErrorCode::userCancelled);
  manager.signalEnumerator(ItemIdentifier::workingSet(), [&](auto error) { result = error; });
  EXPECT_EQ(result, std::nullopt);
  manager.disconnect("reason", DomainDisconnectionOptions::temporary, [](auto) {});
  ASSERT_EQ(manager.disconnections().size(), 1u);
  EXPECT_EQ(manager.signalledContainers(),
            std::vector<ItemIdentifier>{ItemIdentifier::workingSet()});
  EXPECT_EQ(manager.temporaryDirectoryURL(), std::filesystem::path("/tmp/x"));
}

}  // namespace
