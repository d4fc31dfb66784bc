// The shape of the item tree in the store: parent cycles (refused when a write would make one,
// and survived by every walk when a damaged file holds one), the ancestor-skipped flags of a
// subtree, and new items whose identifier is already taken.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/DriveDatabase.hpp"
#include "common/SyncItemStorage.hpp"
#include "platform/PlatformTestSupport.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::common;
namespace t = tarnix::testing;

namespace {
constexpr const char* kTreeDomain = "6f1c3a51-2a4b-4e0c-9c55-1b2f3c4d5e6f";
constexpr const char* kCycleRefused = "Refusing a change that would put a folder inside itself";
const tarnix::base::Date kTreeDate = tarnix::base::dateFromMillisecondsSince1970(1700000000123);

SyncItemIdentifier id(const std::string& prefixed) {
  return *SyncItemIdentifier::fromPrefixed(prefixed);
}

SyncFolderIdentifier treeFolderId(const std::string& raw) {
  return SyncFolderIdentifier{raw};
}

SyncItem makeTreeItem(const std::string& prefixed, const std::string& parent) {
  SyncItem item;
  item.itemIdentifier = id(prefixed);
  item.parentItemIdentifier = treeFolderId(parent);
  item.filename = prefixed.substr(prefixed.find('/') + 1);
  item.cloudIdentifier = item.isFolder()
                             ? CloudItemIdentifier(CloudFolderIdentifier{"c-" + item.filename})
                             : CloudItemIdentifier(CloudGroupIdentifier{"c-" + item.filename});
  item.permission = SyncItemPermission::editor;
  item.uploadDate = kTreeDate;
  return item;
}

// A drive with this tree, built through the store:
//   root
//   ├── A
//   │   ├── B
//   │   │   ├── C
//   │   │   │   └── c.txt
//   │   │   └── b.txt
//   │   └── a.txt
//   └── D
class Tree {
 public:
  Tree() {
    auto opened = DriveDatabase::open(dir_.path(), kTreeDomain);
    EXPECT_TRUE(opened) << opened.error().description();
    database_ = std::move(*opened);
    auto made =
        SyncItemStorage::make(database_->dbQueue(), "/Team",
                              std::make_shared<tarnix::base::Logger>(t::recordingLogger(sink_)));
    EXPECT_TRUE(made) << made.error().description();
    storage_ = std::move(*made);
    EXPECT_TRUE(
        storage_->setRootItem(makeTreeItem("folder/root", SyncFolderIdentifier::zero().rawValue)));
    for (const auto& [item, parent] :
         std::vector<std::pair<std::string, std::string>>{{"folder/A", "root"},
                                                          {"folder/B", "A"},
                                                          {"folder/C", "B"},
                                                          {"file/c.txt", "C"},
                                                          {"file/b.txt", "B"},
                                                          {"file/a.txt", "A"},
                                                          {"folder/D", "root"}}) {
      auto stored = storage_->storeNewItem(makeTreeItem(item, parent));
      EXPECT_TRUE(stored) << item << ": " << stored.error().description();
    }
  }

  static const std::vector<std::string>& rows() {
    static const std::vector<std::string> all{"folder/root", "folder/A",   "folder/B",
                                              "folder/C",    "file/c.txt", "file/b.txt",
                                              "file/a.txt",  "folder/D"};
    return all;
  }

  SyncItemStorage& storage() { return *storage_; }
  t::RecordingLogSink& log() { return *sink_; }

  // Writes as a damaged file or an older build may have left the table.
  void damage(const std::string& sql) {
    auto done = database_->dbQueue()->write<void>([&](Database& db) { return db.execute(sql); });
    ASSERT_TRUE(done) << done.error().description();
  }

  std::int64_t column(const std::string& item, const std::string& name) {
    auto value = database_->dbQueue()->read<std::optional<std::int64_t>>([&](Database& db) {
      auto statement = db.prepare("SELECT " + name + " FROM Items WHERE itemIdentifier = ?");
      if (!statement) return DatabaseResult<std::optional<std::int64_t>>(std::nullopt);
      statement->bind(1, item);
      auto row = statement->step();
      if (!row || !*row) return DatabaseResult<std::optional<std::int64_t>>(std::nullopt);
      return DatabaseResult<std::optional<std::int64_t>>(statement->int64(0));
    });
    EXPECT_TRUE(value && *value) << item << "." << name;
    return value && *value ? **value : -1;
  }

  // The rows whose integer column `name` is not 0.
  std::set<std::string> rowsWith(const std::string& name) {
    std::set<std::string> found;
    for (const auto& row : rows()) {
      if (column(row, name) != 0) found.insert(row);
    }
    return found;
  }

  std::string parentOf(const std::string& item) {
    auto stored = storage_->optionalItem(id(item));
    EXPECT_TRUE(stored && *stored) << item;
    return stored && *stored ? (*stored)->parentItemIdentifier.rawValue : "<none>";
  }

  // Everything a write may change, row by row.
  std::map<std::string, std::vector<std::int64_t>> snapshot() {
    std::map<std::string, std::vector<std::int64_t>> rows;
    for (const auto& row : Tree::rows()) {
      for (const char* name :
           {"rank", "dead", "isSkipped", "isAncestorSkipped", "itemRealm", "metadataVersion"}) {
        rows[row].push_back(column(row, name));
      }
    }
    return rows;
  }

 private:
  t::TempDir dir_;
  std::shared_ptr<t::RecordingLogSink> sink_ = std::make_shared<t::RecordingLogSink>();
  std::unique_ptr<DriveDatabase> database_;
  std::unique_ptr<SyncItemStorage> storage_;
};

PatchedSyncItem moved(SyncItemStorage& storage, const std::string& item,
                      const std::string& newParent) {
  auto stored = storage.item(id(item));
  EXPECT_TRUE(stored) << item;
  PatchedSyncItem patch(stored ? *stored : makeTreeItem(item, "root"));
  patch.setParentItemIdentifier(treeFolderId(newParent));
  return patch;
}

std::optional<SyncError::Code> codeOf(const ItemStoreResult<void>& result) {
  if (result) return std::nullopt;
  EXPECT_TRUE(result.error().syncError()) << result.error().description();
  if (!result.error().syncError()) return SyncError::Code::badServerResponse;
  return result.error().syncError()->code();
}

template <class T>
ItemStoreResult<void> dropValue(const ItemStoreResult<T>& result) {
  if (!result) return std::unexpected(result.error());
  return {};
}

const std::set<std::string> kCycleAndBelow{"folder/A",   "folder/B",   "folder/C",
                                           "file/c.txt", "file/b.txt", "file/a.txt"};
}  // namespace

// A tree that already holds a cycle (A moved under its grandchild C behind the store's back, as a
// damaged file or an older build may leave it): every walk ends, and the writes among them still
// reach each row of the cycle and below it once.
TEST(SyncItemStorageTree, EveryWalkEndsOnAParentCycle) {
  struct Case {
    const char* walk;
    std::function<ItemStoreResult<void>(SyncItemStorage&)> run;
    std::optional<SyncError::Code> error;
    // The rows whose column is not 0 afterwards; none: nothing may change.
    std::optional<std::pair<std::string, std::set<std::string>>> rowsWith;
  };
  const std::vector<Case> cases{
      {"deletion",
       [](SyncItemStorage& s) { return s.deleteItem(id("folder/B"), std::nullopt, false, false); },
       std::nullopt, std::pair{std::string("dead"), kCycleAndBelow}},
      {"a listing's moved-away item",
       [](SyncItemStorage& s) {
         SyncItemListPatch patch;
         patch.movedAwayItems = {*s.item(id("folder/C"))};
         return s.apply(patch, false);
       },
       std::nullopt, std::pair{std::string("dead"), kCycleAndBelow}},
      {"skipping", [](SyncItemStorage& s) { return s.updateItemSkippedFlag(id("folder/B"), true); },
       std::nullopt,
       std::pair{std::string("isAncestorSkipped"),
                 std::set<std::string>{"folder/A", "folder/C", "file/c.txt", "file/b.txt",
                                       "file/a.txt"}}},
      {"un-skipping",
       [](SyncItemStorage& s) {
         if (auto done = s.updateItemSkippedFlag(id("folder/B"), true); !done) return done;
         return s.updateItemSkippedFlag(id("folder/B"), false);
       },
       std::nullopt, std::pair{std::string("isAncestorSkipped"), std::set<std::string>{}}},
      {"realm change",
       [](SyncItemStorage& s) { return s.updateRealm(id("folder/A"), SyncItemRealm::offline); },
       std::nullopt, std::pair{std::string("itemRealm"), kCycleAndBelow}},
      {"cloud path",
       [](SyncItemStorage& s) { return dropValue(s.queryCloudPath(id("file/c.txt"))); },
       SyncError::Code::brokenTreeHierarchy, std::nullopt},
      {"cloud path of a folder in the cycle",
       [](SyncItemStorage& s) { return dropValue(s.queryCloudPath(id("folder/A"))); },
       SyncError::Code::brokenTreeHierarchy, std::nullopt},
      {"offline path",
       [](SyncItemStorage& s) { return dropValue(s.queryOfflinePath(id("file/b.txt"))); },
       SyncError::Code::brokenTreeHierarchy, std::nullopt},
      {"child with its path",
       [](SyncItemStorage& s) { return dropValue(s.findItem(treeFolderId("C"), "C.TXT")); },
       SyncError::Code::brokenTreeHierarchy, std::nullopt},
      {"path from the root",
       [](SyncItemStorage& s) -> ItemStoreResult<void> {
         auto found = s.findItem(std::string("/A/B"));
         if (!found) return std::unexpected(found.error());
         // The cycle is no longer below the root.
         EXPECT_FALSE(*found);
         return {};
       },
       std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.walk);
    Tree tree;
    tree.damage(
        "UPDATE Items SET parentItemIdentifier = 'folder/C' WHERE itemIdentifier = "
        "'folder/A'");
    const auto before = tree.snapshot();
    EXPECT_EQ(codeOf(c.run(tree.storage())), c.error);
    if (c.rowsWith) {
      EXPECT_EQ(tree.rowsWith(c.rowsWith->first), c.rowsWith->second);
      EXPECT_EQ(tree.snapshot().at("folder/D"), before.at("folder/D"));
    } else {
      EXPECT_EQ(tree.snapshot(), before);
    }
  }
}

// A write that would put a folder inside itself is refused whole, with brokenTreeHierarchy and a
// log line, and changes nothing; moves that end in a tree are written whatever their order.
TEST(SyncItemStorageTree, WritesThatWouldMakeAParentCycleAreRefused) {
  struct Case {
    const char* write;
    std::function<ItemStoreResult<void>(SyncItemStorage&)> run;
    bool refused;
    std::map<std::string, std::string> parents;  // checked afterwards
  };
  const std::vector<Case> cases{
      {"a folder moved under its grandchild",
       [](SyncItemStorage& s) { return dropValue(s.update(moved(s, "folder/A", "C"))); },
       true,
       {{"folder/A", "root"}}},
      {"a folder moved under its child",
       [](SyncItemStorage& s) { return dropValue(s.update(moved(s, "folder/B", "C"))); },
       true,
       {{"folder/B", "A"}}},
      {"a folder moved under itself",
       [](SyncItemStorage& s) { return dropValue(s.update(moved(s, "folder/D", "D"))); },
       true,
       {{"folder/D", "root"}}},
      {"a folder moved elsewhere",
       [](SyncItemStorage& s) { return dropValue(s.update(moved(s, "folder/B", "D"))); },
       false,
       {{"folder/B", "D"}}},
      {"a listing that moves a folder into its subtree, with a new item",
       [](SyncItemStorage& s) {
         SyncItemListPatch patch;
         patch.createdItems = {makeTreeItem("file/new.txt", "D")};
         patch.modifiedItems = {moved(s, "folder/A", "B")};
         return s.apply(patch, false);
       },
       true,
       {{"folder/A", "root"}}},
      {"a listing that moves two folders into each other",
       [](SyncItemStorage& s) {
         SyncItemListPatch patch;
         patch.modifiedItems = {moved(s, "folder/A", "D"), moved(s, "folder/D", "A")};
         return s.apply(patch, false);
       },
       true,
       {{"folder/A", "root"}, {"folder/D", "root"}}},
      {"a listing that swaps a folder and its child, the parent first",
       [](SyncItemStorage& s) {
         SyncItemListPatch patch;
         patch.modifiedItems = {moved(s, "folder/A", "B"), moved(s, "folder/B", "root")};
         return s.apply(patch, false);
       },
       false,
       {{"folder/A", "B"}, {"folder/B", "root"}}},
      {"a new folder stored under itself",
       [](SyncItemStorage& s) { return dropValue(s.storeNewItem(makeTreeItem("folder/E", "E"))); },
       true,
       {}},
      {"a new folder stored where orphans name it as their parent, under one of them",
       [](SyncItemStorage& s) -> ItemStoreResult<void> {
         // D's row names the missing E as its parent (left by a damaged file).
         return dropValue(s.storeNewItem(makeTreeItem("folder/E", "D")));
       },
       true,
       {{"folder/D", "E"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.write);
    Tree tree;
    if (std::string(c.write).find("orphans") != std::string::npos) {
      tree.damage(
          "UPDATE Items SET parentItemIdentifier = 'folder/E' WHERE itemIdentifier = "
          "'folder/D'");
    }
    const auto before = tree.snapshot();
    const auto result = c.run(tree.storage());
    if (c.refused) {
      EXPECT_EQ(codeOf(result), SyncError::Code::brokenTreeHierarchy);
      EXPECT_TRUE(!result && result.error().isParentCycle());
      EXPECT_EQ(tree.log().count(kCycleRefused), 1u);
      EXPECT_EQ(tree.snapshot(), before);
      EXPECT_FALSE(*tree.storage().optionalItem(id("file/new.txt")));
      EXPECT_FALSE(*tree.storage().optionalItem(id("folder/E")));
    } else {
      EXPECT_TRUE(result) << result.error().description();
      EXPECT_EQ(tree.log().count(kCycleRefused), 0u);
    }
    for (const auto& [item, parent] : c.parents) EXPECT_EQ(tree.parentOf(item), parent) << item;
    // Whatever happened, every path still ends at the root (or the orphan's missing parent).
    for (const auto& row : Tree::rows()) {
      auto path = tree.storage().queryCloudPath(id(row));
      if (c.parents.contains("folder/D") && c.parents.at("folder/D") == "E") continue;
      EXPECT_TRUE(path) << row << ": " << path.error().description();
    }
  }
}

// `isAncestorSkipped` says whether any folder above a row is skipped, after any sequence of
// skips and un-skips; rows whose flag stays keep their rank.
TEST(SyncItemStorageTree, AncestorSkippedFollowsEverySkippedFolderAbove) {
  struct Case {
    const char* sequence;
    std::vector<std::pair<std::string, bool>> steps;
    std::set<std::string> skipped;
    std::set<std::string> ancestorSkipped;
  };
  const std::set<std::string> belowA{"folder/B", "folder/C", "file/c.txt", "file/b.txt",
                                     "file/a.txt"};
  const std::vector<Case> cases{
      {"skip a folder", {{"folder/A", true}}, {"folder/A"}, belowA},
      {"un-skip a folder above a still-skipped one",
       {{"folder/A", true}, {"folder/C", true}, {"folder/A", false}},
       {"folder/C"},
       {"file/c.txt"}},
      {"un-skip a folder above a still-skipped one skipped first",
       {{"folder/B", true}, {"folder/A", true}, {"folder/A", false}},
       {"folder/B"},
       {"folder/C", "file/c.txt", "file/b.txt"}},
      {"un-skip a folder below a still-skipped one",
       {{"folder/C", true}, {"folder/A", true}, {"folder/C", false}},
       {"folder/A"},
       belowA},
      {"un-skip a folder that was never skipped, below a skipped one",
       {{"folder/A", true}, {"folder/B", false}},
       {"folder/A"},
       belowA},
      {"skip and un-skip a folder below a skipped one",
       {{"folder/A", true}, {"folder/B", true}, {"folder/B", false}},
       {"folder/A"},
       belowA},
      {"un-skip everything",
       {{"folder/A", true}, {"folder/C", true}, {"folder/C", false}, {"folder/A", false}},
       {},
       {}},
      {"skip a file", {{"file/b.txt", true}}, {"file/b.txt"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sequence);
    Tree tree;
    std::map<std::string, std::vector<std::int64_t>> before;
    for (const auto& [item, isSkipped] : c.steps) {
      before = tree.snapshot();
      ASSERT_TRUE(tree.storage().updateItemSkippedFlag(id(item), isSkipped));
    }
    EXPECT_EQ(tree.rowsWith("isSkipped"), c.skipped);
    EXPECT_EQ(tree.rowsWith("isAncestorSkipped"), c.ancestorSkipped);
    // The last step re-ranks the rows it changed, above every earlier rank, and no other row.
    const auto after = tree.snapshot();
    std::int64_t maxBefore = 0;
    for (const auto& [row, values] : before) maxBefore = std::max(maxBefore, values[0]);
    const auto& [lastItem, lastValue] = c.steps.back();
    for (const auto& row : Tree::rows()) {
      const bool changed = row == lastItem || before.at(row)[3] != after.at(row)[3];
      if (changed) {
        EXPECT_GT(after.at(row)[0], maxBefore) << row;
      } else {
        EXPECT_EQ(after.at(row)[0], before.at(row)[0]) << row;
      }
    }
  }
}

// A new item takes an identifier the table does not hold yet: a live row or a tombstone of the
// same identifier stays as it is, and the caller gets ItemAlreadyStored (and a log line).
TEST(SyncItemStorageTree, ANewItemNeverReplacesAStoredRow) {
  struct Case {
    const char* stored;
    std::string identifier;
    std::function<void(SyncItemStorage&)> prepare;
    std::optional<bool> alreadyStoredAsTombstone;  // none: stored as new
  };
  const std::vector<Case> cases{
      {"nothing", "file/fresh.txt", [](SyncItemStorage&) {}, std::nullopt},
      {"a live row", "file/a.txt", [](SyncItemStorage&) {}, false},
      {"a live folder", "folder/B", [](SyncItemStorage&) {}, false},
      {"a tombstone", "file/b.txt",
       [](SyncItemStorage& s) {
         ASSERT_TRUE(s.deleteItem(id("file/b.txt"), std::nullopt, false, false));
       },
       true},
      {"a row marked for delayed deletion", "file/c.txt",
       [](SyncItemStorage& s) {
         ASSERT_TRUE(s.deleteItem(id("file/c.txt"), std::nullopt, true, false));
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    Tree tree;
    c.prepare(tree.storage());
    const auto before = tree.snapshot();
    auto item = makeTreeItem(c.identifier, "D");
    item.filename = "replacement";
    auto stored = tree.storage().storeNewItem(item);
    if (!c.alreadyStoredAsTombstone) {
      ASSERT_TRUE(stored) << stored.error().description();
      EXPECT_EQ(stored->filename, "replacement");
      std::int64_t maxOthers = 0;
      for (const auto& [row, values] : before) maxOthers = std::max(maxOthers, values[0]);
      EXPECT_GT(tree.column(c.identifier, "rank"), maxOthers);
      continue;
    }
    ASSERT_FALSE(stored);
    ASSERT_TRUE(stored.error().alreadyStored()) << stored.error().description();
    EXPECT_EQ(*stored.error().alreadyStored(),
              (ItemAlreadyStored{id(c.identifier), *c.alreadyStoredAsTombstone}));
    EXPECT_EQ(tree.log().count("Storing new item failed: the identifier is already stored"), 1u);
    EXPECT_EQ(tree.snapshot(), before);
    EXPECT_EQ(tree.storage().optionalItem(id(c.identifier))->has_value(),
              !*c.alreadyStoredAsTombstone);
    if (!*c.alreadyStoredAsTombstone) {
      EXPECT_NE(tree.storage().item(id(c.identifier))->filename, "replacement");
    }
  }
}

// A listing's created item whose identifier is already stored is left out with a warning; the
// rest of the listing is written.
TEST(SyncItemStorageTree, AListingKeepsStoredRowsOfItsCreatedItems) {
  Tree tree;
  ASSERT_TRUE(tree.storage().deleteItem(id("file/b.txt"), std::nullopt, false, false));
  SyncItemListPatch patch;
  auto live = makeTreeItem("file/a.txt", "D");
  live.filename = "replacement";
  auto tombstone = makeTreeItem("file/b.txt", "D");
  patch.createdItems = {live, tombstone, makeTreeItem("file/new.txt", "D")};
  ASSERT_TRUE(tree.storage().apply(patch, false));
  EXPECT_EQ(tree.storage().item(id("file/a.txt"))->filename, "a.txt");
  EXPECT_EQ(tree.parentOf("file/a.txt"), "A");
  EXPECT_FALSE(*tree.storage().optionalItem(id("file/b.txt")));
  EXPECT_TRUE(*tree.storage().optionalItem(id("file/new.txt")));
  EXPECT_EQ(tree.log().count("Created item is already stored; the stored row is kept"), 2u);
}

// A batch of cloud events: a deleted folder takes its subtree along, a deletion that a later
// event undoes (something put at the same path again) and events about paths the store does
// not know change nothing, and the batch's revision is recorded with the deletions.
TEST(SyncItemStorageTree, CloudEventsDeleteWhatTheyNameAndRecordTheRevision) {
  Tree tree;
  const std::vector<ItemStoreEvent> events = {
      {11, "ADD_FILE", std::nullopt, "/Team/A/new.txt"},
      {12, "DELETE_FOLDER", std::nullopt, "/Team/A/B/"},
      {13, "DELETE_FILE", std::nullopt, "/Team/A/a.txt"},
      {14, "ADD_FILE", std::nullopt, "/Team/A/a.txt"},
      {15, "DELETE_FILE", std::nullopt, "/Elsewhere/A/a.txt"},
      {16, "DELETE_FILE", std::nullopt, "/Team/A/never-seen.txt"},
      {17, "DELETE_FILE", std::nullopt, "/Team/D"},
      {18, "ADD_FOLDER", std::nullopt, "/Team/D"},
  };
  auto applied = tree.storage().apply(events, 18);
  ASSERT_TRUE(applied) << applied.error().description();
  EXPECT_EQ(applied->deletedItems, 4);
  EXPECT_EQ(applied->skippedEvents, 5);
  EXPECT_EQ(applied->eventsWithUndiscoveredLocations, 2);
  EXPECT_EQ(tree.rowsWith("dead"),
            (std::set<std::string>{"folder/B", "folder/C", "file/c.txt", "file/b.txt"}));
  EXPECT_EQ(applied->highestRank, tree.storage().currentSyncAnchor()->rank);
  EXPECT_EQ(tree.storage().snapshotRevision(), 18);

  // The revision is in the file, not only in memory.
  auto again = SyncItemStorage::make(tree.storage().dbQueue(), "/Team", nullptr);
  ASSERT_TRUE(again);
  EXPECT_EQ((*again)->snapshotRevision(), 18);
}

// A folder listed after the events were fetched has the last word on its children: what the
// store holds at a deleted path there came later (a file moved over the deleted one) and stays.
// Deletions in folders not listed still apply.
TEST(SyncItemStorageTree, CloudDeletionsInFoldersListedSinceAreSkipped) {
  Tree tree;
  const std::vector<ItemStoreEvent> events = {
      {21, "DELETE_FILE", std::nullopt, "/Team/A/a.txt"},
      {22, "DELETE_FILE", std::nullopt, "/Team/A/B/b.txt"},
  };
  auto applied = tree.storage().apply(events, 22, {treeFolderId("A")});
  ASSERT_TRUE(applied) << applied.error().description();
  EXPECT_EQ(applied->skippedEvents, 1);
  EXPECT_EQ(applied->deletedItems, 1);
  EXPECT_EQ(tree.rowsWith("dead"), std::set<std::string>{"file/b.txt"});
  EXPECT_EQ(tree.storage().snapshotRevision(), 22);
}
