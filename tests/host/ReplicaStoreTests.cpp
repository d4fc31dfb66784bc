// The host's replica store and the change synchroniser that keeps it: what a listing or a batch
// of changes does to the items, their contents and the kernel's caches.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "host/ChangeSynchronizer.hpp"
#include "host/ReplicaStore.hpp"
#include "support/FakeReplicatedExtension.hpp"
#include "support/TempDir.hpp"

namespace tarnix::host {
namespace {

namespace fp = platform::fileprovider;
using testing::FakeReplicatedExtension;

fp::ItemPtr item(const std::string& id, const std::string& parent, const std::string& name,
                 bool folder = false, const std::string& contentVersion = "c1") {
  fp::ItemProperties p;
  p.itemIdentifier = fp::ItemIdentifier(id);
  p.parentItemIdentifier = fp::ItemIdentifier(parent);
  p.filename = name;
  if (folder) p.contentType = std::string(fp::kContentTypeFolder);
  p.capabilities = fp::ItemCapabilities::allowsReading;
  p.itemVersion = {contentVersion, "m1"};
  p.documentSize = 10;
  return fp::ItemSnapshot::make(p);
}

const std::string kRoot(fp::ItemIdentifier::kRootContainerRawValue);

class RecordingKernelCache final : public KernelCache {
 public:
  void invalidateInode(Inode inode) override { inodes.push_back(inode); }
  void invalidateEntry(Inode parent, const std::string& name) override {
    entries.emplace_back(parent, name);
  }
  std::vector<Inode> inodes;
  std::vector<std::pair<Inode, std::string>> entries;
};

class ReplicaStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = ReplicaStore::open(dir_.path() / "Replica.db");
    ASSERT_TRUE(opened) << opened.error().description();
    store_ = std::move(*opened);
  }
  Inode inodeOf(const std::string& id) {
    auto e = store_->entry(fp::ItemIdentifier(id));
    return e && *e ? (*e)->inode : 0;
  }
  testing::TempDir dir_{"tarnix-replica"};
  std::shared_ptr<ReplicaStore> store_;
};

TEST_F(ReplicaStoreTest, AListingReplacesTheChildrenAndRemovesSubtreesOfMissingOnes) {
  ASSERT_TRUE(store_->upsertAll({item("d", kRoot, "Folder", true), item("f", kRoot, "a.txt")}));
  ASSERT_TRUE(store_->upsertAll({item("inner", "d", "inner.txt")}));
  ASSERT_TRUE(store_->setContentPresent(inodeOf("inner"), "c1", dir_.path() / "inner", 10, 1));

  // The new listing of the root no longer has the folder.
  auto upserts = store_->upsertAll({item("f", kRoot, "a.txt"), item("g", kRoot, "b.txt")});
  ASSERT_TRUE(upserts);
  auto removed = store_->completeListing(kRootInode, {(*upserts)[0]->inode, (*upserts)[1]->inode});
  ASSERT_TRUE(removed);
  std::set<std::string> gone;
  for (const auto& r : *removed) gone.insert(r.identifier.rawValue());
  EXPECT_EQ(gone, (std::set<std::string>{"d", "inner"}));
  EXPECT_EQ(inodeOf("inner"), 0u);
  EXPECT_EQ(store_->cacheUsage().value_or(-1), 0);
  auto children = store_->children(kRootInode);
  ASSERT_TRUE(children);
  ASSERT_EQ(children->size(), 2u);
  EXPECT_TRUE((*store_->entry(kRootInode))->childrenListed);
}

TEST_F(ReplicaStoreTest, ItemsKeepTheirInodeAndLoseStaleContents) {
  ASSERT_TRUE(store_->upsertAll({item("f", kRoot, "a.txt")}));
  const Inode inode = inodeOf("f");
  ASSERT_TRUE(store_->setContentPresent(inode, "c1", dir_.path() / "f", 10, 1));

  struct Case {
    const char* what;
    fp::ItemPtr update;
    bool stillPresent;
    bool moved;
  };
  const Case cases[] = {
      {"same version", item("f", kRoot, "a.txt", false, "c1"), true, false},
      {"renamed", item("f", kRoot, "b.txt", false, "c1"), true, true},
      {"new contents", item("f", kRoot, "b.txt", false, "c2"), false, false},
  };
  for (const auto& c : cases) {
    auto result = store_->upsert(*c.update);
    ASSERT_TRUE(result && *result) << c.what;
    EXPECT_EQ((*result)->inode, inode) << c.what;
    EXPECT_EQ((*result)->previousPlacement.has_value(), c.moved) << c.what;
    EXPECT_EQ((*result)->staleContentPath.has_value(), !c.stillPresent) << c.what;
    EXPECT_EQ((*store_->entry(inode))->contentPresent, c.stillPresent) << c.what;
  }
  // A parent the host never showed: nothing recorded.
  auto orphan = store_->upsert(*item("o", "unknown-folder", "o.txt"));
  ASSERT_TRUE(orphan);
  EXPECT_FALSE(orphan->has_value());
}

// A local edit is what the host shows until the extension confirmed it: listings and changes
// from the cloud never take its size or date away, and never remove it.
TEST_F(ReplicaStoreTest, ALocalEditOutlivesWhatTheCloudReports) {
  ASSERT_TRUE(store_->upsertAll({item("d", kRoot, "Folder", true), item("f", "d", "a.txt")}));
  const Inode f = inodeOf("f");
  ASSERT_TRUE(store_->setContentPresent(f, "c1", dir_.path() / "old", 10, 1));
  ASSERT_TRUE(store_->beginLocalEdit(f, dir_.path() / "edit"));
  ASSERT_TRUE(store_->setLocalAttributes(f, 1234, 99000));
  // A second begin keeps the first one's base.
  ASSERT_TRUE(store_->beginLocalEdit(f, dir_.path() / "other"));

  // The cloud has a new version meanwhile.
  ASSERT_TRUE(store_->upsert(*item("f", "d", "a.txt", false, "c2")));
  auto e = *store_->entry(f);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->size, 1234);
  EXPECT_EQ(e->modificationMilliseconds, 99000);
  EXPECT_EQ(e->localContentPath, dir_.path() / "edit");
  EXPECT_EQ(e->localBaseVersion, fp::Data("c1"));
  EXPECT_EQ(e->version.contentVersion, fp::Data("c2"));

  // A file made here is kept by a listing that does not have it; an edited file the cloud
  // removed stays too, as a file made here.
  auto made = store_->createLocalFile(inodeOf("d"), "new.txt", fp::ItemIdentifier("local-1"),
                                      dir_.path() / "new", 5000);
  ASSERT_TRUE(made && *made);
  auto removed = store_->completeListing(inodeOf("d"), {});
  ASSERT_TRUE(removed);
  EXPECT_TRUE(removed->empty());
  auto kept = *store_->entry(f);
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->identifier.rawValue().starts_with("local-"));
  EXPECT_EQ(kept->filename, "a.txt");
  EXPECT_TRUE(kept->localBaseVersion.empty());
  EXPECT_TRUE((*store_->entry(fp::ItemIdentifier("local-1"))));
  auto edits = store_->localEdits();
  ASSERT_TRUE(edits);
  EXPECT_EQ(edits->size(), 2u);
}

// The cloud removes a folder holding an edited file: the file moves up, under a free name.
TEST_F(ReplicaStoreTest, AnEditedFileInAFolderTheCloudRemovedMovesUp) {
  ASSERT_TRUE(store_->upsertAll({item("d", kRoot, "Folder", true), item("x", kRoot, "a.txt")}));
  ASSERT_TRUE(store_->upsertAll({item("f", "d", "a.txt")}));
  ASSERT_TRUE(store_->beginLocalEdit(inodeOf("f"), dir_.path() / "edit"));
  JournalEntry write;
  write.kind = JournalEntry::Kind::writeContents;
  write.identifier = fp::ItemIdentifier("f");
  write.parentIdentifier = fp::ItemIdentifier("d");
  write.filename = "a.txt";
  write.baseVersion = {"c1", "m1"};
  write.contentPath = dir_.path() / "snapshot";
  ASSERT_TRUE(store_->addJournalEntry(write));

  auto removed = store_->remove(fp::ItemIdentifier("d"));
  ASSERT_TRUE(removed);
  ASSERT_EQ(removed->size(), 1u);
  EXPECT_EQ((*removed)[0].identifier.rawValue(), "d");
  auto children = store_->children(kRootInode);
  ASSERT_TRUE(children);
  std::set<std::string> names;
  for (const auto& c : *children) names.insert(c.filename);
  EXPECT_EQ(names, (std::set<std::string>{"a.txt", "a (local copy).txt"}));
  // Its upload waiting in the journal is a new file's now.
  auto journal = store_->journal();
  ASSERT_TRUE(journal && journal->size() == 1u);
  EXPECT_TRUE((*journal)[0].identifier.rawValue().starts_with("local-"));
  EXPECT_EQ((*journal)[0].parentIdentifier.rawValue(), kRoot);
  EXPECT_EQ((*journal)[0].filename, "a (local copy).txt");
  EXPECT_TRUE((*journal)[0].baseVersion.contentVersion.empty());
  EXPECT_EQ((*journal)[0].contentPath, dir_.path() / "snapshot");
}

// The extension took an upload: a file made here takes its identifier; the edit becomes the
// present contents unless more was written since.
TEST_F(ReplicaStoreTest, AConfirmedUploadEndsTheEditOrRebasesIt) {
  for (const bool ended : {true, false}) {
    SCOPED_TRACE(ended ? "ended" : "written since");
    testing::TempDir dir("tarnix-replica-settle");
    auto store = std::shared_ptr<ReplicaStore>(*ReplicaStore::open(dir.path() / "Replica.db"));
    auto made = store->createLocalFile(kRootInode, "new.txt", fp::ItemIdentifier("local-1"),
                                       dir.path() / "edit", 5000);
    ASSERT_TRUE(made && *made);
    ASSERT_TRUE(store->setLocalAttributes((*made)->inode, 3, std::nullopt));
    JournalEntry write;
    write.kind = JournalEntry::Kind::writeContents;
    write.identifier = fp::ItemIdentifier("local-1");
    write.parentIdentifier = fp::ItemIdentifier(kRoot);
    write.filename = "new.txt";
    write.contentPath = dir.path() / "snapshot";
    auto id = store->addJournalEntry(write);
    ASSERT_TRUE(id);
    write.id = *id;
    // A listing showed the uploaded file before the answer came.
    ASSERT_TRUE(store->upsert(*item("cloud-1", kRoot, "new.txt", false, "v1")));

    auto settled =
        store->settleContents(write, *item("cloud-1", kRoot, "new.txt", false, "v1"), ended);
    ASSERT_TRUE(settled) << settled.error().description();
    ASSERT_TRUE(settled->upserted);
    EXPECT_EQ(settled->upserted->inode, (*made)->inode);
    auto e = *store->entry(fp::ItemIdentifier("cloud-1"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->inode, (*made)->inode);
    EXPECT_EQ(e->hasLocalEdit(), !ended);
    EXPECT_EQ(e->contentPresent, ended);
    if (ended) {
      EXPECT_EQ(e->contentPath, dir.path() / "edit");
      EXPECT_EQ(e->presentContentVersion, fp::Data("v1"));
      EXPECT_EQ(e->contentSize, 3);
    } else {
      EXPECT_EQ(e->localBaseVersion, fp::Data("v1"));
    }
    EXPECT_TRUE(store->journal()->empty());
    EXPECT_EQ(store->children(kRootInode)->size(), 1u);

    // More written meanwhile, read before the answer came and journalled after it: the entry
    // goes under the identifier the file has now, or the next upload would never find it.
    if (!ended) {
      JournalEntry more = write;
      more.id = 0;
      auto added = store->addJournalEntry((*made)->inode, more);
      ASSERT_TRUE(added && *added);
      ASSERT_EQ(store->journal()->size(), 1u);
      EXPECT_EQ(store->journal()->front().identifier.rawValue(), "cloud-1");
    }
  }
}

TEST_F(ReplicaStoreTest, StateAndItemsSurviveReopening) {
  ASSERT_TRUE(store_->upsertAll({item("f", kRoot, "a.txt")}));
  const Inode inode = inodeOf("f");
  ASSERT_TRUE(store_->setState(ReplicaStore::kSyncAnchorKey, "YW5jaG9y"));
  store_.reset();
  auto reopened = ReplicaStore::open(dir_.path() / "Replica.db", common::Database::Mode::readOnly);
  ASSERT_TRUE(reopened);
  EXPECT_EQ((*reopened)->state(ReplicaStore::kSyncAnchorKey).value_or(std::nullopt), "YW5jaG9y");
  auto e = (*reopened)->entry(fp::ItemIdentifier("f"));
  ASSERT_TRUE(e && *e);
  EXPECT_EQ((*e)->inode, inode);
  EXPECT_EQ((*e)->filename, "a.txt");
}

TEST_F(ReplicaStoreTest, ABrokenFileIsAnErrorNotACrash) {
  testing::writeFile(dir_.path() / "broken.db", std::string(4096, 'x'));
  EXPECT_FALSE(ReplicaStore::open(dir_.path() / "broken.db"));
}

TEST_F(ReplicaStoreTest, ChangeBatchesUpdateTheStoreAndTellTheKernel) {
  auto fake = std::make_shared<FakeReplicatedExtension>();
  auto calls = std::make_shared<ExtensionCalls>(fake, std::chrono::seconds(5));
  ContentReplicaOptions options;
  options.contentsDirectory = dir_.path() / "Contents";
  auto contents = std::make_shared<ContentReplica>(store_, calls, options, base::Logger::null());
  auto kernel = std::make_shared<RecordingKernelCache>();
  ChangeSynchronizer sync(calls, store_, contents, kernel, base::Logger::null());

  ASSERT_TRUE(store_->upsertAll(
      {item("d", kRoot, "Folder", true), item("f", "d", "a.txt"), item("g", "d", "gone.txt")}));
  const Inode folder = inodeOf("d"), f = inodeOf("f"), g = inodeOf("g");
  testing::writeFile(dir_.path() / "Contents/g", "cached");
  ASSERT_TRUE(store_->setContentPresent(g, "c1", dir_.path() / "Contents/g", 6, 1));

  ChangeBatch batch;
  batch.updated = {item("f", "d", "renamed.txt"), item("n", "d", "new.txt"),
                   item("x", "never-shown", "x.txt")};
  batch.deleted = {fp::ItemIdentifier("g"), fp::ItemIdentifier("not-known")};
  ASSERT_TRUE(sync.apply(batch));

  EXPECT_EQ((*store_->entry(f))->filename, "renamed.txt");
  EXPECT_NE(inodeOf("n"), 0u);
  EXPECT_EQ(inodeOf("x"), 0u);
  EXPECT_EQ(inodeOf("g"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Contents/g"));
  const auto hasEntry = [&](Inode parent, const std::string& name) {
    return std::find(kernel->entries.begin(), kernel->entries.end(),
                     std::make_pair(parent, name)) != kernel->entries.end();
  };
  EXPECT_TRUE(hasEntry(folder, "a.txt"));     // the old name
  EXPECT_TRUE(hasEntry(folder, "new.txt"));   // a name the kernel may have cached as missing
  EXPECT_TRUE(hasEntry(folder, "gone.txt"));  // a deleted name
  EXPECT_NE(std::find(kernel->inodes.begin(), kernel->inodes.end(), f), kernel->inodes.end());
}

TEST_F(ReplicaStoreTest, ASignalFetchesChangesFromTheLastAnchorOnly) {
  auto fake = std::make_shared<FakeReplicatedExtension>();
  fake->addFolder("d", fake->root(), "Folder");
  auto calls = std::make_shared<ExtensionCalls>(fake, std::chrono::seconds(5));
  ContentReplicaOptions options;
  options.contentsDirectory = dir_.path() / "Contents";
  auto contents = std::make_shared<ContentReplica>(store_, calls, options, base::Logger::null());
  ChangeSynchronizer sync(calls, store_, contents, std::make_shared<NullKernelCache>(),
                          base::Logger::null());
  ASSERT_TRUE(store_->upsertAll({item("d", kRoot, "Folder", true)}));
  sync.start();
  const auto waitRound = [&](std::uint64_t before) {
    for (int i = 0; i < 1000 && sync.completedRounds() <= before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return sync.completedRounds() > before;
  };
  // More changes than one batch holds: the host keeps asking while more are coming.
  for (int i = 0; i < 250; ++i) fake->addFile("f" + std::to_string(i), "d", std::to_string(i), "x");
  sync.signal();
  ASSERT_TRUE(waitRound(0));
  EXPECT_EQ(store_->children(inodeOf("d"))->size(), 250u);
  const int asked = fake->counters().enumerateChanges.load();
  EXPECT_GE(asked, 3);

  fake->remove("f7");
  sync.signal();
  ASSERT_TRUE(waitRound(1));
  EXPECT_EQ(store_->children(inodeOf("d"))->size(), 249u);
  EXPECT_EQ(fake->counters().enumerateChanges.load(), asked + 1);
  sync.stop();
  EXPECT_EQ(fake->counters().enumeratorsInvalidated.load(), 1);
}

}  // namespace
}  // namespace tarnix::host
