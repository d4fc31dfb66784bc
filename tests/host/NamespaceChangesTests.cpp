// Local changes of names and folders carried to a fake extension: what is refused before anything
// is sent, what reaches the extension, what the journal keeps while the extension has not
// confirmed, and that neither a listing nor a change batch undoes a change still pending.
#include <linux/fs.h>  // RENAME_NOREPLACE, RENAME_EXCHANGE
#include <signal.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "host/ChangeSynchronizer.hpp"
#include "host/NamespaceChanges.hpp"
#include "support/ChildRole.hpp"
#include "support/FakeReplicatedExtension.hpp"
#include "support/TempDir.hpp"

namespace tarnix::host {
namespace {

namespace fp = platform::fileprovider;
using namespace std::chrono_literals;
using testing::FakeReplicatedExtension;
using Call = FakeReplicatedExtension::ChangeCall;
constexpr auto kReadable = FakeReplicatedExtension::kReadable;
constexpr auto kEditable = FakeReplicatedExtension::kEditable;

class NamespaceChangesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = std::make_shared<FakeReplicatedExtension>();
    fake_->setCapabilities(fake_->root(), kEditable);
    auto opened = ReplicaStore::open(stateFolder() / "Replica.db");
    ASSERT_TRUE(opened) << opened.error().description();
    store_ = std::move(*opened);
    calls_ = std::make_shared<ExtensionCalls>(fake_, 20s);
    ContentReplicaOptions options;
    options.contentsDirectory = stateFolder() / "Contents";
    options.temporaryDirectory = stateFolder() / "tmp";
    std::filesystem::create_directories(options.contentsDirectory);
    std::filesystem::create_directories(options.temporaryDirectory);
    contents_ = std::make_shared<ContentReplica>(store_, calls_, options, base::Logger::null());
  }

  virtual std::filesystem::path stateFolder() const { return dir_.path(); }

  // Removals wait `delay` before they are sent; failed ones are sent again soon.
  std::unique_ptr<NamespaceChanges> start(std::chrono::milliseconds delay = 0ms) {
    NamespaceOptions options;
    options.deletionDelay = delay;
    options.firstRetry = 10ms;
    options.longestRetry = 40ms;
    auto changes = std::make_unique<NamespaceChanges>(store_, calls_, contents_, *kernel_, options,
                                                      base::Logger::null());
    changes->start();
    return changes;
  }

  // What showing the folder does: the extension's listing, recorded in the store.
  void list(const std::string& id) {
    if (id == fake_->root()) {
      auto root = calls_->item(fp::ItemIdentifier::rootContainer());
      ASSERT_TRUE(root);
      ASSERT_TRUE(store_->upsert(**root));
    }
    auto enumerator = calls_->enumerator(fp::ItemIdentifier(id));
    ASSERT_TRUE(enumerator);
    std::vector<fp::ItemPtr> items;
    std::optional<fp::Page> page = fp::Page::initialPageSortedByName();
    while (page) {
      auto got = calls_->enumerateItems(**enumerator, *page, 100);
      ASSERT_TRUE(got);
      items.insert(items.end(), got->items.begin(), got->items.end());
      page = got->nextPage;
    }
    auto upserts = store_->upsertAll(items);
    ASSERT_TRUE(upserts);
    std::vector<Inode> listed;
    for (const auto& u : *upserts)
      if (u) listed.push_back(u->inode);
    ASSERT_TRUE(store_->completeListing(inodeOf(id), listed));
  }

  Inode inodeOf(const std::string& id) {
    auto e = store_->entry(fp::ItemIdentifier(id));
    return e && *e ? (*e)->inode : 0;
  }
  std::optional<ReplicaEntry> shown(Inode parent, const std::string& name) {
    auto e = store_->child(parent, name);
    return e && *e ? std::optional(**e) : std::nullopt;
  }
  std::size_t pending() { return store_->journal().value_or(std::vector<JournalEntry>(99)).size(); }
  std::vector<Call> calls(Call::Kind kind) {
    std::vector<Call> out;
    for (auto& c : fake_->changeCalls())
      if (c.kind == kind) out.push_back(c);
    return out;
  }
  static bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000 && !condition(); ++i) std::this_thread::sleep_for(10ms);
    return condition();
  }

  testing::TempDir dir_{"tarnix-namespace"};
  std::shared_ptr<FakeReplicatedExtension> fake_;
  std::shared_ptr<ReplicaStore> store_;
  std::shared_ptr<ExtensionCalls> calls_;
  std::shared_ptr<ContentReplica> contents_;
  std::shared_ptr<NullKernelCache> kernel_ = std::make_shared<NullKernelCache>();
};

TEST_F(NamespaceChangesTest, WhatTheItemsDoNotAllowIsRefusedBeforeAnythingIsSent) {
  using C = fp::ItemCapabilities;
  fake_->addFolder("ro", fake_->root(), "Locked", kReadable);
  fake_->addFile("ro-f", "ro", "fixed.txt", "x", kReadable);
  fake_->addFolder("mine", fake_->root(), "Mine", kEditable);
  fake_->addFile("a", "mine", "a.txt", "a", kEditable);
  fake_->addFile("b", "mine", "b.txt", "b", kEditable);
  fake_->addFile("kept", "mine", "kept.txt", "k", kEditable & ~C::allowsDeleting);
  fake_->addFolder("full", "mine", "Full", kEditable);
  fake_->addFile("x", "full", "x.txt", "x", kEditable);
  fake_->addFolder("empty", "mine", "Empty", kEditable);
  fake_->addFile("stay", fake_->root(), "stay.txt", "s", kEditable & ~C::allowsRenaming);
  fake_->addFile("pinned", fake_->root(), "pinned.txt", "p", kEditable & ~C::allowsReparenting);
  for (const std::string& id :
       {fake_->root(), std::string("ro"), std::string("mine"), std::string("full")})
    list(id);
  auto changes = start(1h);
  const Inode root = kRootInode, ro = inodeOf("ro"), mine = inodeOf("mine");

  struct Case {
    const char* what;
    std::function<std::expected<void, int>()> call;
    int expected;
  };
  auto mkdir = [&](Inode parent, const char* name) -> std::expected<void, int> {
    auto made = changes->makeFolder(parent, name);
    if (!made) return std::unexpected(made.error());
    return {};
  };
  const Case cases[] = {
      {"a folder in a folder that allows no writing", [&] { return mkdir(ro, "New"); }, EACCES},
      {"a folder where the name is taken", [&] { return mkdir(mine, "a.txt"); }, EEXIST},
      {"removing a folder that may not be deleted",
       [&] { return changes->removeFolder(root, "Locked"); }, EPERM},
      {"removing a file that may not be deleted",
       [&] { return changes->removeFile(ro, "fixed.txt"); }, EPERM},
      {"removing a folder that holds items", [&] { return changes->removeFolder(mine, "Full"); },
       ENOTEMPTY},
      {"unlink of a folder", [&] { return changes->removeFile(root, "Mine"); }, EISDIR},
      {"rmdir of a file", [&] { return changes->removeFolder(mine, "a.txt"); }, ENOTDIR},
      {"removing what is not there", [&] { return changes->removeFile(mine, "gone"); }, ENOENT},
      {"renaming what may not be renamed",
       [&] { return changes->rename(root, "stay.txt", root, "moved.txt", 0); }, EPERM},
      {"moving what may not be moved",
       [&] { return changes->rename(root, "pinned.txt", mine, "pinned.txt", 0); }, EPERM},
      {"moving into a folder that allows no writing",
       [&] { return changes->rename(mine, "a.txt", ro, "a.txt", 0); }, EACCES},
      {"a file over a file that may not be deleted",
       [&] { return changes->rename(mine, "a.txt", mine, "kept.txt", 0); }, EPERM},
      {"a file over a file without replacing",
       [&] { return changes->rename(mine, "a.txt", mine, "b.txt", RENAME_NOREPLACE); }, EEXIST},
      {"exchanging two files",
       [&] { return changes->rename(mine, "a.txt", mine, "b.txt", RENAME_EXCHANGE); }, EINVAL},
      {"a folder over an empty folder",
       [&] { return changes->rename(mine, "Full", mine, "Empty", 0); }, EEXIST},
      {"a folder over a folder that holds items",
       [&] { return changes->rename(mine, "Empty", mine, "Full", 0); }, ENOTEMPTY},
      {"a file over a folder", [&] { return changes->rename(mine, "a.txt", mine, "Empty", 0); },
       EISDIR},
      {"a folder over a file", [&] { return changes->rename(mine, "Empty", mine, "a.txt", 0); },
       ENOTDIR},
  };
  for (const auto& c : cases) {
    auto result = c.call();
    ASSERT_FALSE(result) << c.what;
    EXPECT_EQ(result.error(), c.expected) << c.what;
  }
  EXPECT_TRUE(fake_->changeCalls().empty());
  EXPECT_EQ(pending(), 0u);
  // Renaming an item to its own name changes nothing and sends nothing.
  EXPECT_TRUE(changes->rename(mine, "a.txt", mine, "a.txt", 0));
  EXPECT_TRUE(fake_->changeCalls().empty());
}

TEST_F(NamespaceChangesTest, FoldersAreMadeRenamedMovedAndRemovedInTheCloud) {
  fake_->addFolder("mine", fake_->root(), "Mine", kEditable);
  fake_->addFile("a", "mine", "a.txt", "a", kEditable);
  list(fake_->root());
  list("mine");
  auto changes = start();

  auto made = changes->makeFolder(kRootInode, "New");
  ASSERT_TRUE(made) << made.error();
  const std::string made_id = fake_->childNamed(fake_->root(), "New");
  ASSERT_FALSE(made_id.empty());
  EXPECT_EQ(made->identifier.rawValue(), made_id);  // the extension's identifier, not the host's
  EXPECT_TRUE(made->isFolder);
  ASSERT_EQ(calls(Call::Kind::create).size(), 1u);
  EXPECT_TRUE(calls(Call::Kind::create)[0].identifier.starts_with("local-"));

  // Renamed and moved at once: one modification carrying both.
  const auto before = *shown(inodeOf("mine"), "a.txt");
  ASSERT_TRUE(changes->rename(inodeOf("mine"), "a.txt", made->inode, "b.txt", 0));
  EXPECT_EQ(fake_->childNamed(made_id, "b.txt"), "a");
  ASSERT_EQ(calls(Call::Kind::modify).size(), 1u);
  const auto modify = calls(Call::Kind::modify)[0];
  EXPECT_EQ(modify.fields, fp::ItemFields::filename | fp::ItemFields::parentItemIdentifier);
  EXPECT_EQ(modify.baseVersion, before.version);
  ASSERT_TRUE(shown(made->inode, "b.txt"));
  EXPECT_EQ(shown(made->inode, "b.txt")->inode, before.inode);  // the same item for the kernel
  EXPECT_FALSE(shown(inodeOf("mine"), "a.txt"));

  // A folder only renamed.
  ASSERT_TRUE(changes->rename(kRootInode, "Mine", kRootInode, "Ours", 0));
  EXPECT_EQ(fake_->childNamed(fake_->root(), "Ours"), "mine");
  EXPECT_EQ(calls(Call::Kind::modify).back().fields, fp::ItemFields::filename);

  // An empty folder, removed without anything pending in it: one deletion, not recursive.
  ASSERT_TRUE(changes->removeFolder(kRootInode, "Ours"));
  EXPECT_FALSE(fake_->exists("mine"));
  ASSERT_EQ(calls(Call::Kind::remove).size(), 1u);
  EXPECT_EQ(calls(Call::Kind::remove)[0].deleteOptions, fp::DeleteItemOptions::none);
  EXPECT_FALSE(shown(kRootInode, "Ours"));
  EXPECT_EQ(pending(), 0u);
}

// `rm -r`: the files' removals wait, and the folder's removal takes them along in one recursive
// deletion. Until then, listing the folder again does not bring them back.
TEST_F(NamespaceChangesTest, RemovingAFolderTakesTheUnsentRemovalsOfItsFilesAlong) {
  fake_->addFolder("many", fake_->root(), "Many", kEditable);
  for (int i = 0; i < 50; ++i)
    fake_->addFile("f" + std::to_string(i), "many", "file" + std::to_string(i), "x", kEditable);
  list(fake_->root());
  list("many");
  auto changes = start(1h);
  const Inode many = inodeOf("many");
  for (int i = 0; i < 50; ++i)
    ASSERT_TRUE(changes->removeFile(many, "file" + std::to_string(i))) << i;
  EXPECT_EQ(pending(), 50u);
  EXPECT_TRUE(fake_->changeCalls().empty());
  EXPECT_EQ(fake_->childrenOf("many").size(), 50u);

  list("many");
  EXPECT_TRUE(store_->children(many).value().empty());

  ASSERT_TRUE(changes->removeFolder(kRootInode, "Many"));
  const auto sent = fake_->changeCalls();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].identifier, "many");
  EXPECT_EQ(sent[0].deleteOptions, fp::DeleteItemOptions::recursive);
  EXPECT_FALSE(fake_->exists("many"));
  EXPECT_FALSE(fake_->exists("f7"));
  EXPECT_EQ(pending(), 0u);
  EXPECT_TRUE(changes->waitUntilSettled(10s));
  EXPECT_EQ(fake_->changeCalls().size(), 1u);
}

// The extension refuses the recursive removal (the cloud has a child nobody here saw): the
// folder stays, and the files the user removed still go, one by one.
TEST_F(NamespaceChangesTest, ARefusedRecursiveRemovalKeepsTheFolderAndStillSendsTheFiles) {
  fake_->addFolder("d", fake_->root(), "Folder", kEditable);
  for (const char* id : {"f1", "f2", "f3"}) fake_->addFile(id, "d", id, "x", kEditable);
  list(fake_->root());
  list("d");
  fake_->setChangeHook([](const Call& call) -> std::optional<fp::Error> {
    if (call.kind == Call::Kind::remove && call.identifier == "d")
      return fp::Error(fp::FileProviderErrorCode::directoryNotEmpty);
    return std::nullopt;
  });
  auto changes = start(1h);
  for (const char* name : {"f1", "f2", "f3"}) ASSERT_TRUE(changes->removeFile(inodeOf("d"), name));
  auto removed = changes->removeFolder(kRootInode, "Folder");
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error(), ENOTEMPTY);
  EXPECT_TRUE(fake_->exists("d"));
  EXPECT_TRUE(shown(kRootInode, "Folder"));
  EXPECT_EQ(pending(), 3u);
  changes.reset();  // the end of the run sends what waits
  EXPECT_EQ(pending(), 0u);
  EXPECT_TRUE(fake_->childrenOf("d").empty());
  EXPECT_TRUE(fake_->exists("d"));
  EXPECT_EQ(calls(Call::Kind::remove).size(), 4u);
}

TEST_F(NamespaceChangesTest, AFolderWithChildrenOnlyInTheCloudIsNotRemoved) {
  fake_->addFolder("f", fake_->root(), "Folder", kEditable);
  list(fake_->root());
  list("f");
  fake_->addFile("late", "f", "late.txt", "x", kEditable);  // after the listing
  auto changes = start(1h);
  auto removed = changes->removeFolder(kRootInode, "Folder");
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error(), ENOTEMPTY);
  ASSERT_EQ(calls(Call::Kind::remove).size(), 1u);
  EXPECT_EQ(calls(Call::Kind::remove)[0].deleteOptions, fp::DeleteItemOptions::none);
  EXPECT_TRUE(fake_->exists("late"));
  EXPECT_TRUE(shown(kRootInode, "Folder"));
  EXPECT_EQ(pending(), 0u);
}

// A removal the cloud cannot take now is sent again and again; it stays in the journal when the
// process ends, goes out at the next start, and nothing brings the file back meanwhile.
TEST_F(NamespaceChangesTest, AnUnsentRemovalSurvivesTheEndOfTheProcessAndGoesOutAtTheNextStart) {
  fake_->addFolder("mine", fake_->root(), "Mine", kEditable);
  fake_->addFile("a", "mine", "a.txt", "a", kEditable);
  list(fake_->root());
  list("mine");
  std::atomic<bool> offline{true};
  fake_->setChangeHook([&](const Call&) -> std::optional<fp::Error> {
    if (offline) return fp::Error(fp::FileProviderErrorCode::serverUnreachable);
    return std::nullopt;
  });
  {
    auto changes = start();
    ASSERT_TRUE(changes->removeFile(inodeOf("mine"), "a.txt"));
    EXPECT_FALSE(shown(inodeOf("mine"), "a.txt"));
    ASSERT_TRUE(eventually([&] { return calls(Call::Kind::remove).size() >= 3; }));

    // What the extension reports meanwhile still has the file.
    list("mine");
    EXPECT_FALSE(shown(inodeOf("mine"), "a.txt"));
    ChangeSynchronizer synchronizer(calls_, store_, contents_, kernel_, base::Logger::null());
    ChangeBatch batch;
    batch.updated = {*calls_->item(fp::ItemIdentifier("a"))};
    ASSERT_TRUE(synchronizer.apply(batch));
    EXPECT_FALSE(shown(inodeOf("mine"), "a.txt"));
  }
  EXPECT_EQ(pending(), 1u);
  EXPECT_TRUE(fake_->exists("a"));

  offline = false;
  auto changes = start(1h);  // the replay does not wait
  ASSERT_TRUE(changes->waitUntilSettled(10s));
  EXPECT_FALSE(fake_->exists("a"));
  EXPECT_EQ(pending(), 0u);
  EXPECT_FALSE(shown(inodeOf("mine"), "a.txt"));
}

// The cloud took away the permission to delete after the host last saw the file.
TEST_F(NamespaceChangesTest, ARefusedRemovalBringsTheFileBack) {
  fake_->addFile("a", fake_->root(), "a.txt", "a", kEditable);
  list(fake_->root());
  fake_->setCapabilities("a", kReadable, /*announce=*/false);
  auto changes = start();
  ASSERT_TRUE(changes->removeFile(kRootInode, "a.txt"));
  ASSERT_TRUE(changes->waitUntilSettled(10s));
  EXPECT_EQ(calls(Call::Kind::remove).size(), 1u);
  EXPECT_TRUE(fake_->exists("a"));
  ASSERT_TRUE(shown(kRootInode, "a.txt"));
  EXPECT_EQ(shown(kRootInode, "a.txt")->capabilities, kReadable);
  EXPECT_EQ(pending(), 0u);
}

// While the extension works on a rename, the journal holds it, and listings of either folder
// keep the item where the user put it.
TEST_F(NamespaceChangesTest, APendingRenameIsKeptAndNotUndoneByListings) {
  fake_->addFolder("mine", fake_->root(), "Mine", kEditable);
  fake_->addFile("a", "mine", "a.txt", "a", kEditable);
  list(fake_->root());
  list("mine");
  std::mutex mutex;
  std::condition_variable cv;
  bool entered = false, released = false;
  fake_->setChangeHook([&](const Call&) -> std::optional<fp::Error> {
    std::unique_lock lock(mutex);
    entered = true;
    cv.notify_all();
    cv.wait_for(lock, 20s, [&] { return released; });
    return std::nullopt;
  });
  auto changes = start();
  auto renamed = std::async(std::launch::async, [&] {
    return changes->rename(inodeOf("mine"), "a.txt", kRootInode, "moved.txt", 0);
  });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 20s, [&] { return entered; }));
  }
  auto journal = store_->journal();
  ASSERT_TRUE(journal);
  ASSERT_EQ(journal->size(), 1u);
  EXPECT_EQ((*journal)[0].kind, JournalEntry::Kind::rename);
  EXPECT_EQ((*journal)[0].identifier.rawValue(), "a");
  EXPECT_EQ((*journal)[0].newFilename, "moved.txt");

  list("mine");
  list(fake_->root());
  EXPECT_FALSE(shown(inodeOf("mine"), "a.txt"));
  ASSERT_TRUE(shown(kRootInode, "moved.txt"));
  {
    std::lock_guard lock(mutex);
    released = true;
    cv.notify_all();
  }
  ASSERT_TRUE(renamed.get());
  EXPECT_EQ(fake_->childNamed(fake_->root(), "moved.txt"), "a");
  EXPECT_EQ(pending(), 0u);
  list(fake_->root());
  EXPECT_TRUE(shown(kRootInode, "moved.txt"));
}

// A name freed by a removal not yet sent can be used again at once: the removal goes first.
TEST_F(NamespaceChangesTest, ANameFreedByAWaitingRemovalCanBeUsedAgain) {
  fake_->addFile("a", fake_->root(), "a", "x", kEditable);
  list(fake_->root());
  auto changes = start(1h);
  ASSERT_TRUE(changes->removeFile(kRootInode, "a"));
  auto made = changes->makeFolder(kRootInode, "a");
  ASSERT_TRUE(made) << made.error();
  EXPECT_FALSE(fake_->exists("a"));
  EXPECT_EQ(fake_->childNamed(fake_->root(), "a"), made->identifier.rawValue());
  EXPECT_EQ(pending(), 0u);
}

void addReplayTree(FakeReplicatedExtension& fake) {
  fake.addFolder("mine", fake.root(), "Mine", kEditable);
  fake.addFile("a", "mine", "a.txt", "a", kEditable);
  fake.addFile("b", "mine", "b.txt", "b", kEditable);
  fake.addFolder("empty", fake.root(), "Empty", kEditable);
}

// A process that makes four changes in the replica at `state` whose calls never end, and is
// killed while they wait.
class DyingMidCall : public NamespaceChangesTest {
 public:
  explicit DyingMidCall(std::filesystem::path state) : state_(std::move(state)) {}
  void TestBody() override {}
  std::filesystem::path stateFolder() const override { return state_; }

  int run() {
    SetUp();
    addReplayTree(*fake_);
    for (const std::string& id : {fake_->root(), std::string("mine"), std::string("empty")})
      list(id);
    fake_->setChangeHook([](const Call&) -> std::optional<fp::Error> {
      for (;;) std::this_thread::sleep_for(1h);
    });
    // Never stopped: the process ends in the middle.
    auto* changes = start(1h).release();
    const Inode mine = inodeOf("mine");
    if (!changes->removeFile(mine, "a.txt")) return 1;
    std::thread([=] { (void)changes->rename(mine, "b.txt", mine, "c.txt", 0); }).detach();
    std::thread([=] { (void)changes->makeFolder(kRootInode, "New"); }).detach();
    std::thread([=] { (void)changes->removeFolder(kRootInode, "Empty"); }).detach();
    if (!eventually([&] { return pending() == 4; })) return 2;
    std::error_code ignored;
    std::filesystem::remove_all(dir_.path(), ignored);
    ::raise(SIGKILL);
    return 3;
  }

 private:
  std::filesystem::path state_;
};

const bool kDyingMidCallRole =
    testing::registerChildRole("namespace-dies-mid-call", [](const std::string& state) {
      DyingMidCall process(state);
      return process.run();
    });

// What a killed process left in the journal goes out at the next start, in order; what had
// reached the cloud already (a rename done, a folder made) counts as done.
TEST_F(NamespaceChangesTest, ChangesLeftByAKilledProcessAreSentAtTheNextStart) {
  const auto child = testing::runChildRole("namespace-dies-mid-call", dir_.path().string(), 60s);
  ASSERT_FALSE(child.timedOut) << child.output << child.errors;
  ASSERT_EQ(pending(), 4u) << "exit status " << child.exitStatus << ": " << child.output
                           << child.errors;
  // The cloud as that process saw it, and what of its changes got there before the end.
  addReplayTree(*fake_);
  fake_->rename("b", "c.txt");
  fake_->addFolder("made-before", fake_->root(), "New", kEditable);

  // Listings meanwhile keep the removed file away and the renamed one renamed.
  list(fake_->root());
  list("mine");
  EXPECT_FALSE(shown(inodeOf("mine"), "a.txt"));
  EXPECT_TRUE(shown(inodeOf("mine"), "c.txt"));
  EXPECT_TRUE(shown(kRootInode, "Empty"));

  auto changes = start(1h);  // the replay does not wait
  ASSERT_TRUE(changes->waitUntilSettled(10s));
  EXPECT_EQ(pending(), 0u);
  EXPECT_FALSE(fake_->exists("a"));
  EXPECT_FALSE(fake_->exists("empty"));
  EXPECT_EQ(fake_->childNamed("mine", "c.txt"), "b");
  EXPECT_EQ(fake_->childNamed(fake_->root(), "New"), "made-before");
  EXPECT_EQ(fake_->childrenOf(fake_->root()).size(), 2u);  // Mine and New
  ASSERT_TRUE(shown(kRootInode, "New"));
  EXPECT_EQ(shown(kRootInode, "New")->identifier.rawValue(), "made-before");
  EXPECT_FALSE(shown(kRootInode, "Empty"));
  // Sent again although the listing showed it done: the extension judges.
  ASSERT_EQ(calls(Call::Kind::modify).size(), 1u);
  EXPECT_EQ(calls(Call::Kind::modify)[0].fields, fp::ItemFields::filename);
}

TEST_F(NamespaceChangesTest, TheJournalTableIsAddedToAnExistingStoreOnce) {
  JournalEntry entry;
  entry.kind = JournalEntry::Kind::removeFile;
  entry.identifier = fp::ItemIdentifier("a");
  entry.parentIdentifier = fp::ItemIdentifier::rootContainer();
  entry.filename = "a.txt";
  entry.baseVersion = {"c1", "m1"};
  entry.time = 42;
  ASSERT_TRUE(store_->addJournalEntry(entry));
  store_.reset();
  auto reopened = ReplicaStore::open(dir_.path() / "Replica.db");
  ASSERT_TRUE(reopened) << reopened.error().description();
  auto journal = (*reopened)->journal();
  ASSERT_TRUE(journal);
  ASSERT_EQ(journal->size(), 1u);
  EXPECT_EQ((*journal)[0].filename, "a.txt");
  EXPECT_EQ((*journal)[0].baseVersion, entry.baseVersion);
  EXPECT_EQ((*journal)[0].time, 42);
}

}  // namespace
}  // namespace tarnix::host
