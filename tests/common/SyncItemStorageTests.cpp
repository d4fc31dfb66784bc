#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "common/DriveDatabase.hpp"
#include "common/SyncItemStorage.hpp"
#include "common/detail/ItemRows.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::common;
using tarnix::testing::TempDir;

namespace {
constexpr const char* kDomain = "6f1c3a51-2a4b-4e0c-9c55-1b2f3c4d5e6f";
const tarnix::base::Date kDate = tarnix::base::dateFromMillisecondsSince1970(1700000000123);

SyncItem makeItem(SyncItemIdentifier identifier, const SyncFolderIdentifier& parent,
                  std::string name) {
  SyncItem item;
  item.cloudIdentifier =
      identifier.isFolder()
          ? CloudItemIdentifier(CloudFolderIdentifier{"c-" + identifier.rawValue()})
          : CloudItemIdentifier(CloudGroupIdentifier{"c-" + identifier.rawValue()});
  item.itemIdentifier = std::move(identifier);
  item.parentItemIdentifier = parent;
  item.filename = std::move(name);
  item.permission = SyncItemPermission::editor;
  item.uploadDate = kDate;
  return item;
}

SyncFolderIdentifier folderId(const std::string& raw) {
  return SyncFolderIdentifier{raw};
}
SyncFileIdentifier fileId(const std::string& raw) {
  return SyncFileIdentifier{raw};
}

std::int64_t rankOf(Database& db, const std::string& identifier) {
  auto statement = db.prepare("SELECT rank FROM Items WHERE itemIdentifier = ?");
  statement->bind(1, identifier);
  EXPECT_TRUE(*statement->step());
  return statement->int64(0);
}

class SyncItemStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = DriveDatabase::open(dir_.path(), kDomain);
    ASSERT_TRUE(opened) << opened.error().description();
    database_ = std::move(*opened);
    auto made = SyncItemStorage::make(database_->dbQueue(), "/Shared/Team", nullptr);
    ASSERT_TRUE(made) << made.error().description();
    storage_ = std::move(*made);
    ASSERT_TRUE(
        storage_->setRootItem(makeItem(folderId("root"), SyncFolderIdentifier::zero(), "Team")));
    raw_ = std::move(*Database::open(database_->path()));
  }

  SyncItem store(SyncItem item) {
    auto stored = storage_->storeNewItem(item);
    EXPECT_TRUE(stored) << stored.error().description();
    return stored ? *stored : item;
  }

  // Drains change enumeration from `anchor` in batches of `batchSize`.
  std::pair<std::vector<std::string>, SyncAnchor> drain(std::optional<SyncFolderIdentifier> in,
                                                        SyncAnchor anchor, size_t batchSize,
                                                        int* batches = nullptr) {
    std::vector<std::string> seen;
    while (true) {
      auto batch = storage_->enumerateChanges(in, anchor, batchSize);
      EXPECT_TRUE(batch) << batch.error().description();
      if (!batch) break;
      if (batches) ++*batches;
      for (const auto& item : batch->updatedItems)
        seen.push_back(item.itemIdentifier.description());
      for (const auto& id : batch->deletedItemIdentifiers) seen.push_back("-" + id.description());
      EXPECT_GE(batch->lastRank.rank, anchor.rank);
      anchor = batch->lastRank;
      if (!batch->moreComing) break;
    }
    return {seen, anchor};
  }

  TempDir dir_;
  std::unique_ptr<DriveDatabase> database_;
  std::unique_ptr<SyncItemStorage> storage_;
  std::unique_ptr<Database> raw_;
};
}  // namespace

TEST_F(SyncItemStorageTest, StoredItemReadsBackWithLockAttributesAndCaseInsensitiveName) {
  SyncItem file = makeItem(fileId("f1"), folderId("root"), "Report.PDF");
  file.author = "ann";
  file.contentVersion = CloudEntryIdentifier{"e1"};
  file.contentSize = 42;
  file.contentModificationDate = kDate;
  file.creationDate = kDate;
  file.tagData = Bytes{1, 2, 3};
  file.fileSystemFlags = 7;
  file.typeAndCreator = 0xFFFFFFFFFFFFFFF0ull;
  file.systemItemIdentifier = "sys-1";
  file.extendedAttributes = SyncExtendedAttributes{{{"com.x", {9, 8}}, {"empty", {}}}};
  file.lockInfo = CloudLockInfo{7, "Ann", "Lee", "ann@example.org", std::nullopt};
  const auto stored = store(file);
  file.flags.insert(SyncItemFlags::hasExtendedAttributes);
  EXPECT_EQ(stored, file);

  auto byName = storage_->childItem(folderId("root"), "report.pdf");
  ASSERT_TRUE(byName && *byName);
  EXPECT_EQ((*byName)->itemIdentifier, file.itemIdentifier);
  auto byCloud = storage_->findByCloudIdentifier(CloudGroupIdentifier{"c-f1"});
  ASSERT_TRUE(byCloud && *byCloud);
  auto bySystem = storage_->item(std::string("sys-1"));
  ASSERT_TRUE(bySystem && *bySystem);
  auto lean =
      storage_->optionalItem(file.itemIdentifier, SyncItemReadOptions::skipExtendedAttributes);
  ASSERT_TRUE(lean && *lean);
  EXPECT_FALSE((*lean)->extendedAttributes);

  auto missing = storage_->item(SyncItemIdentifier(fileId("nope")));
  ASSERT_FALSE(missing);
  ASSERT_TRUE(missing.error().syncError());
  EXPECT_EQ(missing.error().syncError()->description(), "No such item (file/nope)");
  auto listed = storage_->items({fileId("nope"), fileId("f1")});
  ASSERT_TRUE(listed);
  EXPECT_FALSE((*listed)[0]);
  EXPECT_TRUE((*listed)[1]);
}

TEST_F(SyncItemStorageTest, UpdateWritesChangedColumnsOnlyAndOutranksEveryRow) {
  const auto stale = store(makeItem(fileId("a"), folderId("root"), "a.txt"));
  store(makeItem(fileId("b"), folderId("root"), "b.txt"));
  // Another writer renamed the file meanwhile; a patch of the permission must not undo it.
  ASSERT_TRUE(
      raw_->execute("UPDATE Items SET filename = 'renamed.txt' WHERE itemIdentifier = 'file/a'"));
  PatchedSyncItem patch(stale);
  patch.setPermission(SyncItemPermission::viewer);
  patch.setLockInfo(CloudLockInfo{1, "A", "B", std::nullopt, "tok"});
  auto updated = storage_->update(patch);
  ASSERT_TRUE(updated) << updated.error().description();
  EXPECT_EQ(updated->filename, "renamed.txt");
  EXPECT_EQ(updated->permission, SyncItemPermission::viewer);
  EXPECT_EQ(updated->metadataVersion, stale.metadataVersion + 1);
  EXPECT_EQ(updated->lockInfo->collaborationToken, "tok");
  auto max = raw_->scalarInt("SELECT MAX(rank) FROM Items WHERE itemIdentifier != 'file/a'");
  EXPECT_GT(rankOf(*raw_, "file/a"), **max);

  ASSERT_TRUE(storage_->refreshItem(fileId("b")));
  EXPECT_GT(rankOf(*raw_, "file/b"), rankOf(*raw_, "file/a"));
  auto anchor = storage_->currentSyncAnchor();
  EXPECT_EQ(anchor->rank, rankOf(*raw_, "file/b"));

  PatchedSyncItem gone(makeItem(fileId("ghost"), folderId("root"), "g"));
  gone.setFilename("h");
  EXPECT_FALSE(storage_->update(gone));
}

TEST_F(SyncItemStorageTest, ChangeEnumerationDeliversExactlyTheChangesAcrossBatches) {
  for (int i = 0; i < 5; ++i)
    store(makeItem(fileId("old" + std::to_string(i)), folderId("root"), "o" + std::to_string(i)));
  const auto anchor = *storage_->currentSyncAnchor();
  std::vector<std::string> expected;
  for (int i = 0; i < 23; ++i) {
    store(makeItem(fileId("n" + std::to_string(i)), folderId("root"), "n" + std::to_string(i)));
    expected.push_back("file/n" + std::to_string(i));
  }
  ASSERT_TRUE(storage_->refreshItem(fileId("old1")));
  expected.push_back("file/old1");
  ASSERT_TRUE(storage_->deleteItem(fileId("old2"), std::nullopt, false, false));
  expected.push_back("-file/old2");
  int batches = 0;
  auto [seen, next] = drain(folderId("root"), anchor, 10, &batches);
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(batches, 3);
  EXPECT_EQ(drain(std::nullopt, next, 10).first, std::vector<std::string>{});

  // An undeleted item is reported again.
  ASSERT_TRUE(storage_->undeleteItem(fileId("old2")));
  EXPECT_EQ(drain(std::nullopt, next, 10).first, std::vector<std::string>{"file/old2"});

  // The graveyard: an anchor equal to it still enumerates, one below it expires with -1002.
  ASSERT_TRUE(storage_->deleteItem(fileId("old3"), std::nullopt, false, false));
  const auto purgeTo = next.rank + 1;
  ASSERT_TRUE(storage_->purgeGraveyard(0, purgeTo));
  EXPECT_TRUE(storage_->enumerateChanges(std::nullopt, SyncAnchor{purgeTo}, 10));
  auto expired = storage_->enumerateChanges(std::nullopt, SyncAnchor{purgeTo - 1}, 10);
  ASSERT_FALSE(expired);
  ASSERT_TRUE(expired.error().isAnchorExpired());
  EXPECT_EQ(SyncAnchorExpired::kFrameworkErrorCode, -1002);
  // The cache survives a reopen.
  auto reopened = SyncItemStorage::make(database_->dbQueue(), "", nullptr);
  EXPECT_EQ((*reopened)->graveyardRank(), purgeTo);
}

TEST_F(SyncItemStorageTest, SubtreeUpdatesRankByDepthOrRowNumberAndBatchesKeepRankGroups) {
  store(makeItem(folderId("d"), folderId("root"), "d"));
  store(makeItem(folderId("e"), folderId("d"), "e"));
  for (int i = 0; i < 4; ++i)
    store(makeItem(fileId("d" + std::to_string(i)), folderId("d"), "f" + std::to_string(i)));
  store(makeItem(fileId("e0"), folderId("e"), "x"));
  const auto anchor = *storage_->currentSyncAnchor();

  ASSERT_TRUE(storage_->updateItemSkippedFlag(folderId("d"), true));
  EXPECT_TRUE((*storage_->item(folderId("d"))).isSkipped);
  EXPECT_FALSE((*storage_->item(folderId("d"))).isAncestorSkipped);
  EXPECT_TRUE((*storage_->item(fileId("e0"))).isAncestorSkipped);
  // Children of d share one rank (depth 1), e0 is one higher (depth 2).
  EXPECT_EQ(rankOf(*raw_, "file/d0"), rankOf(*raw_, "folder/e"));
  EXPECT_EQ(rankOf(*raw_, "file/e0"), rankOf(*raw_, "file/d0") + 1);
  // A batch of 2 must not split the five rows of the shared rank.
  auto batch = storage_->enumerateChanges(std::nullopt, SyncAnchor{rankOf(*raw_, "folder/d")}, 2);
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->changeCount, 5u);
  EXPECT_TRUE(batch->moreComing);
  EXPECT_EQ(drain(std::nullopt, anchor, 2).first.size(), 7u);

  ASSERT_TRUE(storage_->updateRealm(folderId("d"), SyncItemRealm::offline));
  std::vector<std::int64_t> ranks;
  for (const char* id :
       {"folder/d", "folder/e", "file/d0", "file/d1", "file/d2", "file/d3", "file/e0"}) {
    ranks.push_back(rankOf(*raw_, id));
  }
  std::sort(ranks.begin(), ranks.end());
  for (size_t i = 1; i < ranks.size(); ++i) EXPECT_EQ(ranks[i], ranks[i - 1] + 1);
  EXPECT_EQ((*storage_->item(fileId("e0"))).itemRealm, SyncItemRealm::offline);
  // The deepest rows come first, the moved folder last.
  EXPECT_EQ(rankOf(*raw_, "folder/d"), ranks.back());
}

// A realm change starts only at the border of a realm: the item moves (with its alive subtree)
// when its parent is in the other realm, and nothing moves below a parent already in the target
// realm. Moved rows lose the cloud locks no local lock holds and their folders' listings.
TEST(SyncItemStorageRealm, RealmChangesStartAtTheRealmBorder) {
  struct Case {
    const char* name;
    SyncItemIdentifier item;
    SyncItemRealm realm;
    std::set<std::string> moved;  // empty: nothing changes
    bool noSuchItem = false;
  };
  const std::vector<Case> cases{
      {"online folder below the online root goes offline",
       folderId("a"),
       SyncItemRealm::offline,
       {"folder/a", "file/a1", "file/a2", "folder/sub", "file/s1"}},
      {"folder inside an offline folder stays where it is",
       folderId("inner"),
       SyncItemRealm::offline,
       {}},
      {"stray online file below an offline parent is not pulled in",
       fileId("stray"),
       SyncItemRealm::offline,
       {}},
      {"offline folder below an offline parent goes online",
       folderId("inner"),
       SyncItemRealm::online,
       {"folder/inner", "file/i1"}},
      {"target realm equal to the parent's moves nothing",
       folderId("off"),
       SyncItemRealm::online,
       {}},
      {"deleted item", fileId("gone"), SyncItemRealm::offline, {}, true},
      {"unknown item", fileId("nowhere"), SyncItemRealm::offline, {}, true},
  };
  const std::vector<std::string> all{"folder/root", "folder/a",   "file/a1",     "file/a2",
                                     "folder/sub",  "file/s1",    "folder/off",  "folder/inner",
                                     "file/i1",     "file/stray", "file/deadkid"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto database = std::move(*DriveDatabase::open(dir.path(), kDomain));
    auto storage = std::move(*SyncItemStorage::make(database->dbQueue(), "", nullptr));
    auto raw = std::move(*Database::open(database->path()));
    auto put = [&](SyncItem item, SyncItemRealm realm = SyncItemRealm::online) {
      item.itemRealm = realm;
      ASSERT_TRUE(storage->storeNewItem(item));
    };
    ASSERT_TRUE(
        storage->setRootItem(makeItem(folderId("root"), SyncFolderIdentifier::zero(), "Team")));
    put(makeItem(folderId("a"), folderId("root"), "a"));
    auto locked = makeItem(fileId("a1"), folderId("a"), "a1");
    locked.lockInfo = CloudLockInfo{7, "Ann", "Lee", std::nullopt, std::nullopt};
    put(locked);
    auto ownLock = makeItem(fileId("a2"), folderId("a"), "a2");
    ownLock.lockInfo = CloudLockInfo{8, "Me", "Too", std::nullopt, std::nullopt};
    put(ownLock);
    put(makeItem(folderId("sub"), folderId("a"), "sub"));
    put(makeItem(fileId("s1"), folderId("sub"), "s1"));
    put(makeItem(fileId("deadkid"), folderId("sub"), "deadkid"));
    ASSERT_TRUE(storage->deleteItem(fileId("deadkid"), std::nullopt, false, false));
    put(makeItem(folderId("off"), folderId("root"), "off"), SyncItemRealm::offline);
    put(makeItem(folderId("inner"), folderId("off"), "inner"), SyncItemRealm::offline);
    put(makeItem(fileId("i1"), folderId("inner"), "i1"), SyncItemRealm::offline);
    put(makeItem(fileId("stray"), folderId("off"), "stray"));
    put(makeItem(fileId("gone"), folderId("root"), "gone"));
    ASSERT_TRUE(storage->deleteItem(fileId("gone"), std::nullopt, false, false));
    ASSERT_TRUE(raw->execute(
        "INSERT INTO LocalLocks (itemIdentifier, token, creationDate, needsRelockBefore, source) "
        "VALUES ('file/a2', 'tok', 't', 't', 0);"
        "INSERT INTO Listings VALUES ('folder/sub', 'v1', 't'), ('folder/inner', 'v1', 't'), "
        "('folder/root', 'v1', 't')"));

    auto snapshot = [&] {
      std::map<std::string, std::tuple<std::int64_t, std::int64_t, std::int64_t>> rows;
      for (const auto& id : all) {
        auto statement = raw->prepare(
            "SELECT rank, itemRealm, metadataVersion FROM Items WHERE itemIdentifier = ?");
        statement->bind(1, id);
        EXPECT_TRUE(*statement->step()) << id;
        rows[id] = {statement->int64(0), statement->int64(1), statement->int64(2)};
      }
      return rows;
    };
    auto count = [&](const std::string& sql) { return raw->scalarInt(sql)->value_or(-1); };
    const auto before = snapshot();
    const auto maxBefore = count("SELECT MAX(rank) FROM Items");
    const auto locksBefore = count("SELECT COUNT(*) FROM RemoteLocks");
    const auto listingsBefore = count("SELECT COUNT(*) FROM Listings");

    auto done = storage->updateRealm(c.item, c.realm);
    if (c.noSuchItem) {
      ASSERT_FALSE(done);
      ASSERT_TRUE(done.error().syncError());
      EXPECT_EQ(done.error().syncError()->code(), SyncError::Code::noSuchItem);
    } else {
      ASSERT_TRUE(done) << done.error().description();
    }
    const auto after = snapshot();
    std::vector<std::int64_t> movedRanks;
    for (const auto& id : all) {
      const auto& [rankBefore, realmBefore, versionBefore] = before.at(id);
      const auto& [rankAfter, realmAfter, versionAfter] = after.at(id);
      if (c.moved.contains(id)) {
        EXPECT_EQ(realmAfter, static_cast<std::int64_t>(c.realm)) << id;
        EXPECT_EQ(versionAfter, versionBefore + 1) << id;
        movedRanks.push_back(rankAfter);
      } else {
        EXPECT_EQ(std::tuple(rankAfter, realmAfter, versionAfter),
                  std::tuple(rankBefore, realmBefore, versionBefore))
            << id;
      }
    }
    // Moved rows get distinct consecutive ranks above every earlier rank, the border item last.
    std::sort(movedRanks.begin(), movedRanks.end());
    for (size_t i = 0; i < movedRanks.size(); ++i) EXPECT_EQ(movedRanks[i], maxBefore + 1 + i);
    if (!c.moved.empty()) {
      EXPECT_EQ(std::get<0>(after.at(c.item.description())), movedRanks.back());
    }
    if (c.moved.contains("folder/a")) {
      EXPECT_EQ(count("SELECT COUNT(*) FROM RemoteLocks WHERE itemIdentifier = 'file/a1'"), 0);
      EXPECT_EQ(count("SELECT COUNT(*) FROM RemoteLocks WHERE itemIdentifier = 'file/a2'"), 1);
      EXPECT_EQ(count("SELECT COUNT(*) FROM Listings WHERE folderIdentifier = 'folder/sub'"), 0);
    } else if (c.moved.contains("folder/inner")) {
      EXPECT_EQ(count("SELECT COUNT(*) FROM Listings WHERE folderIdentifier = 'folder/inner'"), 0);
    } else {
      EXPECT_EQ(count("SELECT COUNT(*) FROM RemoteLocks"), locksBefore);
      EXPECT_EQ(count("SELECT COUNT(*) FROM Listings"), listingsBefore);
    }
    EXPECT_EQ(count("SELECT COUNT(*) FROM Listings WHERE folderIdentifier = 'folder/root'"), 1);
  }
}

TEST_F(SyncItemStorageTest, PagedEnumerationVisitsEveryChildOnce) {
  for (int i = 0; i < 25; ++i)
    store(
        makeItem(fileId("p" + std::to_string(100 + i)), folderId("root"), "p" + std::to_string(i)));
  ASSERT_TRUE(storage_->deleteItem(fileId("p105"), std::nullopt, false, false));
  std::set<std::string> seen;
  std::optional<SyncListingPageMarker> marker;
  int pages = 0;
  do {
    auto page = storage_->enumerateItems(folderId("root"), marker, 10);
    ASSERT_TRUE(page);
    ++pages;
    for (const auto& item : page->items)
      EXPECT_TRUE(seen.insert(item.itemIdentifier.description()).second);
    marker = page->output.nextPage;
  } while (marker);
  EXPECT_EQ(seen.size(), 24u);
  EXPECT_EQ(pages, 3);
  EXPECT_EQ(
      *storage_->itemCount({SyncItemQueryConstraint::isChildOf(folderId("root")),
                            SyncItemQueryConstraint::isAlive(), SyncItemQueryConstraint::isFile()}),
      24);
}

TEST_F(SyncItemStorageTest, DeletionsDelayedAndSubscriptionRoots) {
  store(makeItem(folderId("d"), folderId("root"), "d"));
  store(makeItem(folderId("sub"), folderId("d"), "sub"));
  store(makeItem(fileId("x"), folderId("sub"), "x"));
  store(makeItem(folderId("off"), folderId("d"), "off"));
  store(makeItem(fileId("y"), folderId("off"), "y"));
  ASSERT_TRUE(raw_->execute(
      "INSERT INTO OfflineFolders VALUES ('folder/off', 4, 'Team/d/off', -1, 't', 0)"));
  ASSERT_TRUE(storage_->deleteItem(folderId("d"), std::nullopt, /*delayed=*/true, false));
  auto delayed = storage_->itemsMarkedForDelayedDeletion();
  ASSERT_TRUE(delayed);
  std::set<std::string> ids;
  for (const auto& item : *delayed) ids.insert(item.itemIdentifier.description());
  EXPECT_EQ(ids, (std::set<std::string>{"folder/d", "folder/sub", "file/x"}));
  EXPECT_TRUE(*storage_->optionalItem(folderId("off")));
  EXPECT_EQ((*storage_->optionalItem(folderId("off")))->subscriptionState,
            OfflineFolderState::subscribed);

  ASSERT_TRUE(storage_->deleteItem(folderId("off"), std::nullopt, false, false));
  EXPECT_TRUE(*storage_->optionalItem(folderId("off")));
  ASSERT_TRUE(storage_->deleteItem(folderId("off"), std::nullopt, false, true));
  EXPECT_FALSE(*storage_->optionalItem(folderId("off")));
  EXPECT_FALSE(*storage_->optionalItem(fileId("y")));
}

TEST_F(SyncItemStorageTest, PathWalksOnlineAndOffline) {
  store(makeItem(folderId("a"), folderId("root"), "Alpha"));
  store(makeItem(folderId("b"), folderId("a"), "Beta"));
  store(makeItem(fileId("c"), folderId("b"), "c.txt"));
  auto found = storage_->findItem(std::string("/alpha/BETA/c.txt"));
  ASSERT_TRUE(found && *found);
  EXPECT_EQ((*found)->itemIdentifier, SyncItemIdentifier(fileId("c")));
  EXPECT_FALSE(*storage_->findItem(std::string("/alpha/none")));
  EXPECT_EQ(*storage_->queryCloudPath(fileId("c")), "/Alpha/Beta/c.txt");
  EXPECT_EQ(*storage_->queryCloudPath(folderId("root")), "/");
  auto withPath = storage_->findItem(folderId("b"), "C.TXT");
  ASSERT_TRUE(withPath && *withPath);
  EXPECT_EQ((*withPath)->second, "/Alpha/Beta/c.txt");

  ASSERT_TRUE(storage_->updateRealm(folderId("b"), SyncItemRealm::offline));
  ASSERT_TRUE(raw_->execute(
      "INSERT INTO OfflineFolders VALUES ('folder/b', 4, 'Team/Alpha/Beta', -1, 't', 0)"));
  auto offline = storage_->findOfflineItem("/Team/Alpha/Beta/c.txt");
  ASSERT_TRUE(offline && *offline);
  EXPECT_EQ((*offline)->itemIdentifier, SyncItemIdentifier(fileId("c")));
  EXPECT_FALSE(*storage_->findOfflineItem("/Team/Alpha/Beta/C.TXT"));
  EXPECT_EQ(*storage_->queryOfflinePath(fileId("c")), "Team/Alpha/Beta/c.txt");
  EXPECT_FALSE(*storage_->queryOfflinePath(folderId("a")));
}

TEST_F(SyncItemStorageTest, ApplyPatchSkipsItemsBeingCreatedAndTellsObservers) {
  store(makeItem(fileId("keep"), folderId("root"), "keep"));
  store(makeItem(fileId("away"), folderId("root"), "away"));
  int published = 0;
  storage_->publisher().subscribe([&] { ++published; });
  struct Delegate : SyncItemStorageDelegate {
    int calls = 0;
    void itemStorageDidChange() override { ++calls; }
  };
  auto delegate = std::make_shared<Delegate>();
  storage_->setDelegate(delegate);
  storage_->willStartCreatingNewItem("mine.txt", folderId("root"));
  SyncItemListPatch patch;
  patch.createdItems = {makeItem(fileId("new"), folderId("root"), "new"),
                        makeItem(fileId("mine"), folderId("root"), "mine.txt")};
  PatchedSyncItem modified(*storage_->item(fileId("keep")));
  modified.setFilename("kept");
  patch.modifiedItems = {modified};
  patch.movedAwayItems = {*storage_->item(fileId("away"))};
  ASSERT_TRUE(storage_->apply(patch, true));
  EXPECT_TRUE(*storage_->optionalItem(fileId("new")));
  EXPECT_FALSE(*storage_->optionalItem(fileId("mine")));
  EXPECT_FALSE(*storage_->optionalItem(fileId("away")));
  EXPECT_EQ(storage_->item(fileId("keep"))->filename, "kept");
  EXPECT_EQ(published, 1);
  EXPECT_EQ(delegate->calls, 1);

  auto begun = storage_->beginNewItem(folderId("root"), "KEPT", std::nullopt, false);
  ASSERT_TRUE(begun);
  EXPECT_TRUE(begun->existingItem);
  EXPECT_FALSE(begun->retryDetected);
  storage_->didFinishCreatingNewItem({"mine.txt", folderId("root")});
  ASSERT_TRUE(storage_->apply(patch, true));
  EXPECT_TRUE(*storage_->optionalItem(fileId("mine")));
}

TEST_F(SyncItemStorageTest, AChangeOfTheFlagsAloneIsWrittenAndShownAgain) {
  auto fixed = makeItem(folderId("fixed"), folderId("root"), "Fixed");
  fixed.flags.insert(SyncItemFlags::isFixedFolder);
  store(fixed);
  store(makeItem(folderId("plain"), folderId("root"), "Plain"));
  struct Case {
    const char* name;
    std::string identifier;
    SyncItemFlags flags;
    bool written;
  };
  const Case cases[] = {
      {"flag set", "plain", SyncItemFlags::isFixedFolder, true},
      {"flag cleared", "fixed", SyncItemFlags{}, true},
      {"flag as stored", "plain", SyncItemFlags::isFixedFolder, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto stored = *storage_->item(folderId(c.identifier));
    PatchedSyncItem patch(stored);
    patch.setFlags(c.flags);
    EXPECT_EQ(patch.hasChanges(), c.written);
    const auto anchor = *storage_->currentSyncAnchor();
    SyncItemListPatch listPatch;
    listPatch.modifiedItems = {patch};
    ASSERT_TRUE(storage_->apply(listPatch, false));
    const auto after = *storage_->item(folderId(c.identifier));
    EXPECT_EQ(after.flags, c.flags);
    // Written rows are shown to the framework again; untouched ones are not.
    EXPECT_EQ(drain(folderId("root"), anchor, 10).first.size(), c.written ? 1u : 0u);
  }
}

TEST_F(SyncItemStorageTest, MalformedStoredRowsGiveErrorsNotCrashes) {
  ASSERT_TRUE(raw_->execute(
      "INSERT INTO Items (itemIdentifier, parentItemIdentifier, filename, rank, permission, flags, "
      "uploadDate, metadataVersion, contentSize, historySize, typeAndCreator, cloudIdentifier) "
      "VALUES ('bogus', 'folder/root', 'b', 999, 1, 0, 'x', 0, 0, 0, 0, 'c-bogus'),"
      "('file/badparent', 'nope', 'p', 1000, 1, 0, 'x', 0, 0, 0, 0, NULL)"));
  auto bad = storage_->optionalItem(CloudItemIdentifier::fromPrefixed("file/x").value());
  EXPECT_TRUE(bad);
  auto children = storage_->enumerateAllItems(folderId("root"));
  ASSERT_FALSE(children);
  ASSERT_TRUE(children.error().databaseError());
  EXPECT_EQ(children.error().databaseError()->kind, DatabaseError::Kind::invalidValue);
  // Change enumeration skips what it cannot read and goes on.
  auto changes = storage_->enumerateChanges(std::nullopt, SyncAnchor{0}, 100);
  ASSERT_TRUE(changes);
  EXPECT_EQ(changes->updatedItems.size(), 1u);
}

TEST_F(SyncItemStorageTest, WritersAndReadersOnSeveralThreadsLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kPerWriter = 150;
  std::atomic<bool> done{false};
  std::atomic<int> readerFailures{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      SyncAnchor anchor{0};
      std::int64_t lastCount = 0;
      while (!done) {
        auto count = storage_->itemCount({SyncItemQueryConstraint::isAlive()});
        auto batch = storage_->enumerateChanges(std::nullopt, anchor, 50);
        if (!count || !batch || *count < lastCount) ++readerFailures;
        if (batch) anchor = batch->lastRank;
        if (count) lastCount = *count;
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kPerWriter; ++i) {
        const auto id = "w" + std::to_string(w) + "-" + std::to_string(i);
        if (!storage_->storeNewItem(makeItem(fileId(id), folderId("root"), id))) ++readerFailures;
      }
    });
  }
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  done = true;
  threads[0].join();
  threads[1].join();
  EXPECT_EQ(readerFailures, 0);
  EXPECT_EQ(*storage_->itemCount({SyncItemQueryConstraint::isChildOf(folderId("root"))}),
            kWriters * kPerWriter);
  EXPECT_EQ(*raw_->scalarInt("SELECT COUNT(DISTINCT rank) FROM Items"), kWriters * kPerWriter + 1);
}

// Runs in a separate process started by the crash test below: writes batches of 20 items
// forever, reporting each committed batch number on the given descriptor.
[[noreturn]] static void runCrashWriter(const std::filesystem::path& folder, int reportFd) {
  auto db = Database::open(folder / "Metadata.db");
  if (!db) _exit(2);
  for (int i = 0;; ++i) {
    auto committed = (*db)->transaction<void>([&]() -> DatabaseResult<void> {
      for (int j = 0; j < 20; ++j) {
        auto insert = (*db)->prepare(detail::kUpsertItem);
        if (!insert) return std::unexpected(insert.error());
        const auto id = std::to_string(i) + "-" + std::to_string(j);
        detail::bindItemColumns(*insert, makeItem(fileId(id), folderId("root"), id));
        if (auto ran = insert->run(); !ran) return ran;
      }
      return {};
    });
    if (!committed) _exit(3);
    if (write(reportFd, &i, sizeof i) != sizeof i) _exit(4);
  }
}

TEST(SyncItemStorageCrash, KilledWriterLeavesIntactDatabaseWithEveryCommittedItem) {
  // The writer is a fresh copy of this binary, not a fork: forking a process that already runs
  // pool threads can leave the child waiting forever on a lock one of them held.
  if (const char* folder = std::getenv("TARNIX_CRASH_WRITER_DIR")) {
    runCrashWriter(folder, std::atoi(std::getenv("TARNIX_CRASH_WRITER_FD")));
  }
  TempDir dir;
  ASSERT_TRUE(DriveDatabase::open(dir.path(), kDomain));
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const std::string dirEnv = "TARNIX_CRASH_WRITER_DIR=" + dir.path().string();
  const std::string fdEnv = "TARNIX_CRASH_WRITER_FD=" + std::to_string(report[1]);
  std::vector<std::string> env = {dirEnv, fdEnv};
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter =
      "--gtest_filter=SyncItemStorageCrash.KilledWriterLeavesIntactDatabaseWithEveryCommittedItem";
  char* argv[] = {self.data(), filter.data(), nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  close(report[1]);
  int lastCommitted = -1;
  for (int received = 0; received < 60; ++received) {
    int value = 0;
    ASSERT_EQ(read(report[0], &value, sizeof value), static_cast<ssize_t>(sizeof value));
    lastCommitted = value;
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(report[0]);
  EXPECT_TRUE(WIFSIGNALED(status));

  auto reopened = DriveDatabase::open(dir.path(), kDomain);
  ASSERT_TRUE(reopened) << reopened.error().description();
  auto raw = Database::open(dir.path() / "Metadata.db");
  auto check = (*raw)->prepare("PRAGMA integrity_check");
  ASSERT_TRUE(check && *check->step());
  EXPECT_EQ(check->text(0), "ok");
  auto storage = SyncItemStorage::make((*reopened)->dbQueue(), "", nullptr);
  ASSERT_TRUE(storage);
  for (int i = 0; i <= lastCommitted; ++i) {
    for (int j = 0; j < 20; ++j) {
      const auto id = std::to_string(i) + "-" + std::to_string(j);
      auto item = (*storage)->optionalItem(fileId(id));
      ASSERT_TRUE(item && *item) << id;
    }
  }
  auto count = (*storage)->itemCount({});
  EXPECT_GE(*count, (lastCommitted + 1) * 20);
  EXPECT_EQ(*count % 20, 0);
}
