#include <gtest/gtest.h>

#include <unordered_set>

#include "common/PatchedSyncItem.hpp"
#include "common/SyncError.hpp"
#include "common/SyncItem.hpp"

using namespace tarnix::common;

TEST(SyncIdentifiers, PrefixedTextParsesOnlyWithExactPrefix) {
  struct Case {
    std::string text;
    std::optional<std::string> description;
    bool isFolder;
  };
  const std::vector<Case> cases{
      {"folder/abc", "folder/abc", true},
      {"file/abc", "file/abc", false},
      {"folder/", "folder/", true},
      {"file/folder/x", "file/folder/x", false},
      {"Folder/abc", std::nullopt, false},
      {"FILE/abc", std::nullopt, false},
      {"0f8fad5b-d9cb-469f-a165-70867728950e", std::nullopt, false},
      {"", std::nullopt, false},
  };
  for (const auto& c : cases) {
    const auto parsed = SyncItemIdentifier::fromPrefixed(c.text);
    ASSERT_EQ(parsed.has_value(), c.description.has_value()) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->description(), *c.description);
    EXPECT_EQ(parsed->isFolder(), c.isFolder);
    EXPECT_EQ(parsed->rawValue(), c.text.substr(c.isFolder ? 7 : 5));
  }
  EXPECT_FALSE(SyncFileIdentifier::fromPrefixed("folder/x"));
  EXPECT_FALSE(SyncFolderIdentifier::fromPrefixed("file/x"));
  EXPECT_EQ(SyncFolderIdentifier::zero().description(),
            "folder/00000000-0000-0000-0000-000000000000");
}

TEST(SyncIdentifiers, OrderingFoldersFirstThenTextAndHashable) {
  const SyncItemIdentifier folderB(SyncFolderIdentifier{"b"});
  const SyncItemIdentifier fileA(SyncFileIdentifier{"a"});
  const SyncItemIdentifier folderA(SyncFolderIdentifier{"a"});
  EXPECT_LT(folderA, folderB);
  EXPECT_LT(folderB, fileA);
  std::unordered_set<SyncItemIdentifier> set{folderA, fileA, SyncFolderIdentifier{"a"}};
  EXPECT_EQ(set.size(), 2u);
  const auto fresh = SyncFileIdentifier::make();
  EXPECT_EQ(fresh.rawValue.size(), 36u);
  EXPECT_NE(fresh, SyncFileIdentifier::make());
}

TEST(SyncIdentifiers, CloudItemIdentifierTextAndJSON) {
  const auto file = CloudItemIdentifier::fromPrefixed("file/123");
  ASSERT_TRUE(file);
  EXPECT_FALSE(file->isFolder());
  EXPECT_EQ(file->toJSON(), R"({"file":"123"})");
  EXPECT_EQ(CloudItemIdentifier::fromJSON(R"({"folder":"9"})"),
            CloudItemIdentifier(CloudFolderIdentifier{"9"}));
  for (const char* bad :
       {R"({"folder":9})", R"({"other":"9"})", "[]", "{", R"({"a":"1","b":"2"})"}) {
    EXPECT_FALSE(CloudItemIdentifier::fromJSON(bad)) << bad;
  }
}

TEST(SyncIdentifiers, SyntheticContentVersion) {
  using namespace std::chrono;
  const auto epoch = system_clock::time_point{};
  EXPECT_EQ(CloudEntryIdentifier::synthetic(0, epoch).rawValue,
            "374708ff-f771-8dd5-979e-c875d56cd228");
  const auto date = epoch + seconds(1700000000) + milliseconds(999);
  EXPECT_EQ(CloudEntryIdentifier::synthetic(1234, date).rawValue,
            "d71ac11e-a9c6-825a-9963-f8052df3fbe0");
  // Negative times count as zero.
  EXPECT_EQ(CloudEntryIdentifier::synthetic(0, epoch - seconds(5)),
            CloudEntryIdentifier::synthetic(0, epoch));
}

TEST(SyncItemPermission, ParsersAndOrdering) {
  struct Case {
    const char* name;
    const char* description;
    SyncItemPermission value;
  };
  using P = SyncItemPermission;
  for (const Case& c : std::vector<Case>{{"NONE", "None", P::none},
                                         {"NAV", "Nav", P::nav},
                                         {"VIEWER_ONLY", "Viewer Only", P::viewer},
                                         {"READ", "Viewer", P::viewer},
                                         {"READWRITE", "Editor", P::editor},
                                         {"RWD", "Full", P::full},
                                         {"MODIFY", "Owner", P::owner}}) {
    EXPECT_EQ(permissionFromCfsName(c.name), c.value) << c.name;
    EXPECT_EQ(permissionFromCfsDescription(c.description), c.value) << c.description;
    EXPECT_TRUE(isAtLeast(c.value, c.value));
  }
  for (const char* bad : {"none", "Read", "", "OWNER", "editor"}) {
    EXPECT_FALSE(permissionFromCfsName(bad)) << bad;
    EXPECT_FALSE(permissionFromCfsDescription(bad)) << bad;
  }
  EXPECT_TRUE(isAtLeast(P::owner, P::editor));
  EXPECT_FALSE(isAtLeast(P::viewer, P::editor));
}

TEST(SyncItem, DerivedContentProperties) {
  using namespace std::chrono;
  SyncItem item;
  item.contentVersion = CloudEntryIdentifier{"v1"};
  item.contentSize = 1234;
  item.contentModificationDate = system_clock::time_point{} + seconds(1700000000);
  EXPECT_EQ(item.contentAncilaryVersion(), CloudEntryIdentifier{"v1"});
  item.itemRealm = SyncItemRealm::offline;
  EXPECT_EQ(item.contentAncilaryVersion()->rawValue, "d71ac11e-a9c6-825a-9963-f8052df3fbe0");
  EXPECT_EQ(item.cfsContentModificationDate(), item.contentModificationDate);
  item.cfsContentModificationDateOverride = system_clock::time_point{} + seconds(5);
  EXPECT_EQ(item.cfsContentModificationDate(), item.cfsContentModificationDateOverride);
}

TEST(PatchedSyncItem, SettersRecordOnlyRealChanges) {
  SyncItem item;
  item.itemIdentifier = SyncFileIdentifier{"f"};
  item.filename = "a.txt";
  item.contentSize = 10;
  PatchedSyncItem patch(item);
  patch.setFilename("a.txt");
  patch.setContentSize(10);
  EXPECT_FALSE(patch.hasChanges());
  patch.setFilename("b.txt");
  patch.setFilename("c.txt");
  EXPECT_EQ(patch.changes().rawValue, SyncItemFields::filename.rawValue);
  patch.changeContent(CloudEntryIdentifier{"v2"}, 20, std::nullopt, std::nullopt, "sum",
                      std::nullopt, item.uploadDate);
  EXPECT_EQ(patch.changes(), SyncItemFields::filename | SyncItemFields::contents);
  patch.setExtendedAttributes(SyncExtendedAttributes{{{"k", {1, 2}}}});
  EXPECT_TRUE(patch.changes().contains(SyncItemFields::extendedAttributes));
  EXPECT_TRUE(patch.item().flags.contains(SyncItemFlags::hasExtendedAttributes));
  EXPECT_EQ(patch.item().filename, "c.txt");
  EXPECT_EQ(patch.item().contentSize, 20);
}

TEST(SyncError, DescriptionsAndEnumerationExpectations) {
  using C = SyncError::Code;
  EXPECT_EQ(SyncError::noSuchItem(SyncFileIdentifier{"x"}).description(), "No such item (file/x)");
  EXPECT_EQ(SyncError::uploadRejected(UploadRejectionReason::filenameTooLong).description(),
            "Upload rejected: filenameTooLong");
  EXPECT_TRUE(SyncError::deletionRejected(SyncItem{}).description().starts_with("Deletion reject"));
  EXPECT_EQ(SyncError(C::directoryNotEmpty).description(), "Directory is not empty");
  EXPECT_EQ(SyncError(C::chunkUploadInProgress).description(),
            "The upload encountered a problem and will be re-attempted automatically");
  for (int code = 0; code <= static_cast<int>(C::entryIDMismatch); ++code) {
    const SyncError error(static_cast<C>(code));
    EXPECT_EQ(error.isUnexpectedInEnumeration(),
              error.code() == C::noSuchItem || error.code() == C::permissionDenied);
    EXPECT_FALSE(error.description().empty());
  }
}
