// The sync service's namespace changes and the deletion manager over a real item store and a
// scripted sync client: the checks that refuse before anything is sent, the store kept in step
// with what the client confirmed, folder deletions checked against a fresh listing, and delayed
// deletions (deferral, back-off, revert, restart, cancellation by a new item in their place).

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "../platform/PlatformTestSupport.hpp"
#include "FakeSyncClient.hpp"
#include "base/Clock.hpp"
#include "common/DriveDatabase.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/sync/DeletionManager.hpp"
#include "fileprovider/sync/FilenameRules.hpp"
#include "fileprovider/sync/OrphanedFilesCleanup.hpp"
#include "fileprovider/sync/SyncService.hpp"
#include "fileprovider/upload/SyncUploadValidator.hpp"
#include "support/TempDir.hpp"

namespace tarnix::testing {
namespace {

using common::SyncError;
using common::SyncFolderIdentifier;
using common::SyncItem;
using common::SyncItemPermission;
using fileprovider::DeletionManager;
using fileprovider::DeletionManagerSettings;
using fileprovider::SyncCloudError;
using fileprovider::SyncCloudResult;
using fileprovider::SyncService;
using Code = SyncError::Code;
using namespace std::chrono_literals;

constexpr const char* kDrive = "2b0f7c1e-6a7d-4c1b-9a55-5e7a1d2c3b4a";
const SyncFolderIdentifier kRoot{"root-folder"};

SyncItem itemNamed(common::SyncItemIdentifier identifier, SyncFolderIdentifier parent,
                   std::string name, SyncItemPermission permission = SyncItemPermission::owner) {
  SyncItem item;
  item.cloudIdentifier =
      identifier.isFolder()
          ? common::CloudItemIdentifier(common::CloudFolderIdentifier{"c-" + identifier.rawValue()})
          : common::CloudItemIdentifier(common::CloudGroupIdentifier{"c-" + identifier.rawValue()});
  item.itemIdentifier = std::move(identifier);
  item.parentItemIdentifier = std::move(parent);
  item.filename = std::move(name);
  item.permission = permission;
  item.contentVersion = common::CloudEntryIdentifier{"v1"};
  return item;
}

SyncItem file(const std::string& id, const SyncFolderIdentifier& parent, const std::string& name,
              SyncItemPermission permission = SyncItemPermission::owner) {
  return itemNamed(common::SyncFileIdentifier{id}, parent, name, permission);
}
SyncItem folder(const std::string& id, const SyncFolderIdentifier& parent, const std::string& name,
                SyncItemPermission permission = SyncItemPermission::owner) {
  return itemNamed(SyncFolderIdentifier{id}, parent, name, permission);
}

template <class T>
SyncCloudResult<T> await(
    const std::function<void(std::function<void(SyncCloudResult<T>)>)>& start) {
  auto promise = std::make_shared<std::promise<SyncCloudResult<T>>>();
  auto future = promise->get_future();
  start([promise](SyncCloudResult<T> result) { promise->set_value(std::move(result)); });
  if (future.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "no completion within 10 s";
    return std::unexpected(SyncCloudError(SyncError(Code::badServerResponse)));
  }
  return future.get();
}

std::optional<Code> codeOf(const SyncCloudError& error) {
  if (const auto* sync = error.syncError()) return sync->code();
  return std::nullopt;
}

class SyncServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    openStore();
    ASSERT_TRUE(
        storage_->setRootItem(folder(kRoot.rawValue, SyncFolderIdentifier::zero(), "Team")));
    start();
  }
  void TearDown() override {
    if (deletions_) deletions_->stop();
  }

  void openStore() {
    auto database = common::DriveDatabase::open(dir_.path(), kDrive);
    ASSERT_TRUE(database) << database.error().description();
    database_ = std::move(*database);
    auto storage = common::SyncItemStorage::make(database_->dbQueue(), "/", nullptr);
    ASSERT_TRUE(storage) << storage.error().description();
    storage_ = std::shared_ptr<common::SyncItemStorage>(std::move(*storage));
  }

  /// A deletion manager and a service as the provider makes them (delayed deletions of ".tmp"
  /// files after 10 s), over the store and the fake client.
  void start() {
    DeletionManagerSettings settings;
    settings.delayedDeletionsEnabled = true;
    settings.delayedDeletionExtensions = {"TMP"};
    settings.maximumBackoff = 60s;
    deletions_ = std::make_shared<DeletionManager>(
        client_, storage_, settings,
        [this](const SyncFolderIdentifier& folder) {
          std::lock_guard lock(mutex_);
          refreshed_.push_back(folder);
        },
        clock_, base::Logger::null());
    deletions_->activate();
    service_ = std::make_shared<SyncService>(
        SyncService::Collaborators{
            storage_, common::Drive{}, client_, deletions_, nullptr, nullptr,
            [this](const SyncFolderIdentifier& folder, auto done) {
              ++listings_;
              if (onListing_) return done(onListing_(folder));
              done(std::nullopt);
            },
            std::make_shared<common::ChunkUploadStorage>(database_->dbQueue()), validator_, nullptr,
            nullptr, clock_},
        base::Logger::null());
  }

  void store(const std::vector<SyncItem>& items) {
    common::SyncItemListPatch patch;
    patch.createdItems = items;
    auto applied = storage_->apply(patch, false);
    ASSERT_TRUE(applied) << applied.error().description();
  }
  SyncItem stored(const SyncItem& item) {
    auto found = storage_->item(item.itemIdentifier);
    EXPECT_TRUE(found) << found.error().description();
    return found ? *found : item;
  }
  std::set<std::string> aliveNames(const SyncFolderIdentifier& parent) {
    std::set<std::string> names;
    if (auto children = storage_->enumerateAllItems(parent))
      for (const auto& child : *children) names.insert(child.filename);
    return names;
  }
  std::size_t markedForDelayedDeletion() {
    auto marked = storage_->itemsMarkedForDelayedDeletion();
    return marked ? marked->size() : 0;
  }

  SyncCloudResult<SyncItem> move(const SyncItem& item, std::optional<SyncItem> newParent,
                                 const std::string& name) {
    return await<SyncItem>([&](auto done) { service_->moveItem(item, newParent, name, done); });
  }
  SyncCloudResult<void> remove(const SyncItem& item, bool recursive) {
    return await<void>(
        [&](auto done) { service_->deleteItem(item, recursive, item.contentVersion, done); });
  }

  TempDir dir_;
  std::unique_ptr<common::DriveDatabase> database_;
  std::shared_ptr<common::SyncItemStorage> storage_;
  std::shared_ptr<FakeSyncClient> client_ = std::make_shared<FakeSyncClient>();
  std::shared_ptr<base::ManualClock> clock_ = base::ManualClock::make();
  std::shared_ptr<fileprovider::SyncUploadValidator> validator_;
  std::shared_ptr<DeletionManager> deletions_;
  std::shared_ptr<SyncService> service_;
  std::atomic<int> listings_{0};
  std::function<std::optional<SyncCloudError>(const SyncFolderIdentifier&)> onListing_;
  std::mutex mutex_;
  std::vector<SyncFolderIdentifier> refreshed_;
};

TEST(FilenameRules, FirstBrokenRuleWins) {
  using R = common::UploadRejectionReason;
  struct Case {
    std::string name;
    std::optional<R> expected;
  };
  const Case cases[] = {
      {"report.pdf", std::nullopt},
      {"a", std::nullopt},
      {".hidden", std::nullopt},
      {"Ünïcødé ✓.txt", std::nullopt},
      {std::string(245, 'x'), std::nullopt},
      {std::string(246, 'x'), R::filenameTooLong},
      {"", R::invalidFilename},
      {"   ", R::invalidFilename},
      {" leading", R::invalidFilename},
      {"trailing ", R::invalidFilename},
      {"dot.", R::invalidFilename},
      {"a:b", R::prohibitedCharacterInFilename},
      {"a|b", R::prohibitedCharacterInFilename},
      {"a\bb", R::prohibitedCharacterInFilename},
      {"tab\there", R::prohibitedUnicodeInFilename},
      {"bad\xff", R::prohibitedUnicodeInFilename},
      {"emoji \xF0\x9F\x98\x80", R::prohibitedUnicodeInFilename},
      {"line\xE2\x80\xA8sep", R::prohibitedUnicodeInFilename},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fileprovider::filenameRejection(c.name), c.expected) << "name: " << c.name;
  }
}

TEST(DeletionDecisions, DeferralBackoffAndOutcome) {
  DeletionManagerSettings settings;
  settings.delayedDeletionsEnabled = true;
  settings.delayedDeletionExtensions = {"tmp", "DOCX"};
  EXPECT_TRUE(fileprovider::shouldDeferDeletion(file("f", kRoot, "a.TMP"), settings));
  EXPECT_TRUE(fileprovider::shouldDeferDeletion(file("f", kRoot, "a.docx"), settings));
  EXPECT_FALSE(fileprovider::shouldDeferDeletion(file("f", kRoot, "a.txt"), settings));
  EXPECT_FALSE(fileprovider::shouldDeferDeletion(file("f", kRoot, "tmp"), settings));
  EXPECT_FALSE(fileprovider::shouldDeferDeletion(folder("d", kRoot, "d.tmp"), settings));
  settings.delayedDeletionsEnabled = false;
  EXPECT_FALSE(fileprovider::shouldDeferDeletion(file("f", kRoot, "a.tmp"), settings));

  using std::chrono::milliseconds;
  EXPECT_EQ(fileprovider::delayedDeletionBackoff(1, 1h), milliseconds(3000));
  EXPECT_EQ(fileprovider::delayedDeletionBackoff(4, 1h), milliseconds(24000));
  EXPECT_EQ(fileprovider::delayedDeletionBackoff(40, 15min), milliseconds(15min));

  using O = fileprovider::DelayedDeletionOutcome;
  const std::pair<SyncCloudResult<void>, O> outcomes[] = {
      {{}, O::done},
      {std::unexpected(SyncCloudError(SyncError::noSuchItem(kRoot))), O::done},
      {std::unexpected(SyncCloudError(SyncError::deletionRejected(file("f", kRoot, "a")))),
       O::revert},
      {std::unexpected(SyncCloudError(SyncError(Code::entryIDMismatch))), O::revertAndRelist},
      {std::unexpected(SyncCloudError(SyncError(Code::fileLocked))), O::revertAndRelist},
      {std::unexpected(SyncCloudError(SyncError(Code::serverUnreachable))), O::retry},
  };
  for (const auto& [result, outcome] : outcomes)
    EXPECT_EQ(fileprovider::delayedDeletionOutcome(result), outcome);
}

TEST_F(SyncServiceTest, PermissionRefusalsNeverReachTheClient) {
  const auto readOnly = folder("ro", kRoot, "ReadOnly", SyncItemPermission::viewer);
  const auto editable = file("e", kRoot, "editable.txt", SyncItemPermission::editor);
  const auto viewed = file("v", kRoot, "viewed.txt", SyncItemPermission::viewer);
  const auto target = folder("t", kRoot, "Target");
  store({readOnly, editable, viewed, target});

  auto deleted = remove(editable, false);  // editor may edit, not delete
  ASSERT_FALSE(deleted);
  EXPECT_EQ(codeOf(deleted.error()), Code::deletionRejected);
  auto renamed = move(viewed, std::nullopt, "renamed.txt");
  ASSERT_FALSE(renamed);
  EXPECT_EQ(codeOf(renamed.error()), Code::permissionDenied);
  auto reparented = move(editable, stored(target), editable.filename);
  ASSERT_FALSE(reparented);
  EXPECT_EQ(codeOf(reparented.error()), Code::permissionDenied);
  auto intoReadOnly = move(file("o", kRoot, "x"), stored(readOnly), "x");
  ASSERT_FALSE(intoReadOnly);
  auto begun = await<common::BeginNewItemResult>([&](auto done) {
    service_->willCreateItem(*readOnly.itemIdentifier.folder(), "New", "system-1", true, done);
  });
  ASSERT_FALSE(begun);
  EXPECT_EQ(codeOf(begun.error()), Code::permissionDenied);

  EXPECT_TRUE(client_->calls().empty());
  EXPECT_EQ(aliveNames(kRoot),
            (std::set<std::string>{"ReadOnly", "editable.txt", "viewed.txt", "Target"}));
}

TEST_F(SyncServiceTest, MovesAreTrimmedCheckedAndStored) {
  const auto doc = file("d", kRoot, "doc.txt");
  const auto target = folder("t", kRoot, "Target");
  store({doc, target});

  // The same name with blanks around it and the same parent: nothing to send.
  auto unchanged =
      move(doc, stored(folder(kRoot.rawValue, SyncFolderIdentifier::zero(), "")), "  doc.txt ");
  ASSERT_TRUE(unchanged) << unchanged.error().description();
  EXPECT_EQ(unchanged->filename, "doc.txt");
  EXPECT_EQ(client_->count("moveItem"), 0u);

  auto invalid = move(doc, std::nullopt, "bad:name");
  ASSERT_FALSE(invalid);
  EXPECT_EQ(codeOf(invalid.error()), Code::uploadRejected);
  EXPECT_EQ(client_->count("moveItem"), 0u);

  // Letter case alone is a rename.
  auto recased = move(doc, std::nullopt, "DOC.txt");
  ASSERT_TRUE(recased) << recased.error().description();
  auto both = move(stored(doc), stored(target), "final.txt");
  ASSERT_TRUE(both) << both.error().description();
  EXPECT_EQ(both->parentItemIdentifier, *target.itemIdentifier.folder());
  EXPECT_EQ(stored(doc).filename, "final.txt");
  EXPECT_EQ(aliveNames(*target.itemIdentifier.folder()), std::set<std::string>{"final.txt"});
  const auto calls = client_->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].filename, "DOC.txt");
  EXPECT_FALSE(calls[0].newParent);
  EXPECT_EQ(calls[1].filename, "final.txt");
  ASSERT_TRUE(calls[1].newParent);
}

TEST_F(SyncServiceTest, FolderDeletionIsCheckedAgainstAFreshListing) {
  const auto empty = folder("empty", kRoot, "Empty");
  const auto full = folder("full", kRoot, "Full");
  const auto seen = file("seen", *full.itemIdentifier.folder(), "seen.txt");
  store({empty, full, seen});
  // The cloud holds a child the store has not seen yet: the listing brings it.
  onListing_ = [&](const SyncFolderIdentifier& listed) -> std::optional<SyncCloudError> {
    if (listed == *empty.itemIdentifier.folder()) store({file("late", listed, "late.txt")});
    return std::nullopt;
  };
  auto refused = remove(stored(empty), false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(codeOf(refused.error()), Code::directoryNotEmpty);
  // Recursive, after everything shown was seen: a child nobody saw refuses it too.
  onListing_ = [&](const SyncFolderIdentifier& listed) -> std::optional<SyncCloudError> {
    store({file("new-" + std::to_string(listings_), listed, "new" + std::to_string(listings_))});
    return std::nullopt;
  };
  auto unseen = remove(stored(full), true);
  ASSERT_FALSE(unseen);
  EXPECT_EQ(codeOf(unseen.error()), Code::directoryNotEmpty);
  // A listing that fails leaves the folder alone.
  onListing_ = [](const SyncFolderIdentifier&) -> std::optional<SyncCloudError> {
    return SyncCloudError(SyncError(Code::serverUnreachable));
  };
  auto offline = remove(stored(full), true);
  ASSERT_FALSE(offline);
  EXPECT_EQ(codeOf(offline.error()), Code::serverUnreachable);
  EXPECT_EQ(client_->count("deleteItem"), 0u);

  // Nothing new: the folder goes with all it holds, in one request.
  onListing_ = nullptr;
  auto deleted = remove(stored(full), true);
  ASSERT_TRUE(deleted) << deleted.error().description();
  EXPECT_EQ(client_->count("deleteItem"), 1u);
  EXPECT_EQ(aliveNames(kRoot), std::set<std::string>{"Empty"});
  EXPECT_TRUE(aliveNames(*full.itemIdentifier.folder()).empty());
}

TEST_F(SyncServiceTest, ADeletedFileTakesItsHalfFinishedUploadAlong) {
  const auto report = file("r", kRoot, "report.pdf");
  const auto other = file("o", kRoot, "other.pdf");
  store({report, other});
  // Chunks an upload of each left behind.
  auto chunkRows = [&](const SyncItem& item) -> std::int64_t {
    auto counted = database_->dbQueue()->read<std::int64_t>(
        [&](common::Database& db) -> common::DatabaseResult<std::int64_t> {
          auto statement = db.prepare("SELECT COUNT(*) FROM UploadChunk WHERE itemIdentifier = ?");
          if (!statement) return std::unexpected(statement.error());
          statement->bind(1, item.itemIdentifier.description());
          if (auto row = statement->step(); !row) return std::unexpected(row.error());
          return statement->int64(0);
        });
    return counted.value_or(-1);
  };
  for (const auto& item : {report, other}) {
    ASSERT_TRUE(database_->dbQueue()->write<void>(
        [&](common::Database& db) -> common::DatabaseResult<void> {
          for (int chunk = 1; chunk <= 2; ++chunk) {
            auto statement = db.prepare(
                "INSERT INTO UploadChunk (itemIdentifier, chunkNumber, chunkChecksum, chunkSize) "
                "VALUES (?, ?, 'c', 4)");
            if (!statement) return std::unexpected(statement.error());
            statement->bind(1, item.itemIdentifier.description()).bind(2, chunk);
            if (auto ran = statement->run(); !ran) return std::unexpected(ran.error());
          }
          return {};
        }));
  }
  ASSERT_EQ(chunkRows(report), 2);
  ASSERT_TRUE(remove(stored(report), false));
  EXPECT_EQ(chunkRows(report), 0);
  EXPECT_EQ(chunkRows(other), 2);
}

TEST_F(SyncServiceTest, DelayedDeletionWaitsThenSendsAndBacksOff) {
  const auto scratch = file("s", kRoot, "scratch.tmp");
  store({scratch});
  client_->scriptDeletions({std::unexpected(SyncCloudError(SyncError(Code::serverUnreachable))),
                            std::unexpected(SyncCloudError(SyncError(Code::serverUnreachable)))});
  ASSERT_TRUE(remove(stored(scratch), false));
  // Gone for the system at once, sent later.
  EXPECT_TRUE(aliveNames(kRoot).empty());
  EXPECT_EQ(markedForDelayedDeletion(), 1u);
  EXPECT_EQ(client_->count("deleteItem"), 0u);

  std::atomic<std::size_t> answered{0};
  deletions_->setListener([&] { ++answered; });
  // First attempt after 10 s, then 3 s and 6 s after each failure.
  const std::pair<std::chrono::seconds, std::size_t> steps[] = {{9s, 0}, {1s, 1}, {2s, 1},
                                                                {1s, 2}, {5s, 2}, {1s, 3}};
  for (const auto& [advance, expectedCalls] : steps) {
    clock_->advance(advance);
    deletions_->pendingDelayedDeletions();  // the worker has run
    EXPECT_EQ(client_->count("deleteItem"), expectedCalls);
    // The answer is taken in before time moves on.
    ASSERT_TRUE(eventually([&] { return answered.load() >= expectedCalls; }));
  }
  ASSERT_TRUE(eventually([&] { return deletions_->pendingDelayedDeletions().empty(); }));
  EXPECT_EQ(markedForDelayedDeletion(), 0u);
  EXPECT_TRUE(aliveNames(kRoot).empty());
}

TEST_F(SyncServiceTest, DelayedDeletionConflictsPutTheItemBack) {
  struct Case {
    const char* name;
    SyncCloudError error;
    bool relisted;
  };
  const Case cases[] = {
      {"permission lost", SyncError::deletionRejected(file("x", kRoot, "x")), false},
      {"changed on the cloud", SyncError(Code::entryIDMismatch), true},
      {"locked elsewhere", SyncError(Code::fileLocked), true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++n;
    const auto item = file("c" + std::to_string(n), kRoot, "case" + std::to_string(n) + ".tmp");
    store({item});
    client_->scriptDeletions({std::unexpected(c.error)});
    ASSERT_TRUE(remove(stored(item), false));
    EXPECT_FALSE(aliveNames(kRoot).contains(item.filename));
    clock_->advance(10s);
    ASSERT_TRUE(eventually([&] { return deletions_->pendingDelayedDeletions().empty(); }));
    EXPECT_TRUE(aliveNames(kRoot).contains(item.filename));
    std::lock_guard lock(mutex_);
    EXPECT_EQ(!refreshed_.empty(), c.relisted);
    refreshed_.clear();
  }
}

TEST_F(SyncServiceTest, DelayedDeletionsSurviveARestartAndANewItemInTheirPlaceCancelsThem) {
  const auto restarted = file("r", kRoot, "restarted.tmp");
  const auto replaced = file("p", kRoot, "replaced.tmp");
  store({restarted, replaced});
  ASSERT_TRUE(remove(stored(restarted), false));
  ASSERT_TRUE(remove(stored(replaced), false));
  // The safe-save pattern: a new item at the place of a deletion that waits.
  EXPECT_EQ(deletions_->cancelDelayedDeletion(kRoot, "REPLACED.tmp"), replaced.itemIdentifier);

  // A new process over the same store.
  deletions_->stop();
  start();
  EXPECT_EQ(deletions_->pendingDelayedDeletions(),
            std::vector<common::SyncItemIdentifier>{restarted.itemIdentifier});
  clock_->advance(10s);
  ASSERT_TRUE(eventually([&] { return deletions_->pendingDelayedDeletions().empty(); }));
  const auto calls = client_->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].item.filename, "restarted.tmp");
  EXPECT_EQ(markedForDelayedDeletion(), 0u);
}

TEST_F(SyncServiceTest, NewFolderIsCreatedOnceAndStored) {
  auto begun = await<common::BeginNewItemResult>(
      [&](auto done) { service_->willCreateItem(kRoot, "Reports", "system-7", true, done); });
  ASSERT_TRUE(begun) << begun.error().description();
  auto created = await<SyncService::CreatedItem>(
      [&](auto done) { service_->createFolder(*begun, "Reports", "system-7", done); });
  ASSERT_TRUE(created) << created.error().description();
  EXPECT_EQ(created->item.filename, "Reports");
  EXPECT_EQ(aliveNames(kRoot), std::set<std::string>{"Reports"});

  // The system retries the same creation: the stored folder answers, nothing is sent.
  auto again = await<common::BeginNewItemResult>(
      [&](auto done) { service_->willCreateItem(kRoot, "Reports", "system-7", true, done); });
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->retryDetected);
  auto retried = await<SyncService::CreatedItem>(
      [&](auto done) { service_->createFolder(*again, "Reports", "system-7", done); });
  ASSERT_TRUE(retried);
  EXPECT_EQ(retried->item.itemIdentifier, created->item.itemIdentifier);
  EXPECT_EQ(client_->count("createFolder"), 1u);

  auto invalid = await<SyncService::CreatedItem>(
      [&](auto done) { service_->createFolder(*begun, "bad|name", std::nullopt, done); });
  ASSERT_FALSE(invalid);
  EXPECT_EQ(codeOf(invalid.error()), Code::uploadRejected);
  EXPECT_EQ(client_->count("createFolder"), 1u);
}

}  // namespace
}  // namespace tarnix::testing

namespace tarnix::testing {
namespace {

using namespace std::chrono_literals;

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
}

TEST(OrphanedFilesCleanup, RemovesOnlyWhatNothingUses) {
  TempDir dir;
  const auto temporary = dir / "tmp";
  const auto graveyard = dir / "graveyard";
  std::filesystem::create_directories(temporary / "ResumeData");
  writeFile(temporary / "dl-full-old", "left by a crash");
  writeFile(temporary / "ResumeData" / "record", "kept across restarts");
  writeFile(temporary / "in-use", "still being written");
  std::ifstream held(temporary / "in-use");  // this process holds it open
  const auto now = std::chrono::system_clock::now();
  for (const auto& [name, stamp] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"old", "1000"},
           {"recent", std::to_string(now.time_since_epoch() / 1s)},
           {"unstamped", std::nullopt}}) {
    std::filesystem::create_directories(graveyard / name);
    if (stamp) writeFile(graveyard / name / ".timestamp", *stamp);
  }

  fileprovider::OrphanedFilesCleanup cleanup(temporary, graveyard, base::Logger::null());
  EXPECT_EQ(cleanup.cleanupTemporaryFiles(now), 0u);  // nothing is old yet
  EXPECT_EQ(cleanup.cleanupTemporaryFiles(now + 25h), 1u);
  EXPECT_FALSE(std::filesystem::exists(temporary / "dl-full-old"));
  EXPECT_TRUE(std::filesystem::exists(temporary / "in-use"));
  EXPECT_TRUE(std::filesystem::exists(temporary / "ResumeData" / "record"));

  EXPECT_EQ(cleanup.cleanupGraveyard(now), 2u);
  EXPECT_FALSE(std::filesystem::exists(graveyard / "old"));
  EXPECT_FALSE(std::filesystem::exists(graveyard / "unstamped"));
  EXPECT_TRUE(std::filesystem::exists(graveyard / "recent"));
}

// MARK: Uploads

TEST(SanitizedModificationDate, CloudNeverGetsAnOlderFutureOrPre1970Date) {
  using std::chrono::seconds;
  const base::Date now = base::dateFromMillisecondsSince1970(1'700'000'000'000);
  const base::Date epoch{};
  const base::Date past = now - seconds(3600);
  struct Case {
    const char* name;
    std::optional<base::Date> date;
    std::optional<base::Date> existingDate;
    std::optional<base::Date> existingOverride;
    bool hasExisting;
    base::Date expectedDate;
    std::optional<base::Date> expectedOverride;
  };
  const Case cases[] = {
      {"absent, new file", std::nullopt, {}, {}, false, now, std::nullopt},
      {"absent, existing item's date", std::nullopt, past, {}, true, past, std::nullopt},
      {"absent, existing item without date", std::nullopt, {}, {}, true, now, std::nullopt},
      {"exactly the epoch", epoch, {}, {}, false, epoch, now},
      {"one second after the epoch",
       epoch + seconds(1),
       {},
       {},
       false,
       epoch + seconds(1),
       std::nullopt},
      {"before the epoch", epoch - seconds(5), {}, {}, false, epoch - seconds(5), now},
      {"one second in the future", now + seconds(1), {}, {}, false, now + seconds(1), now},
      {"now", now, {}, {}, false, now, std::nullopt},
      {"older than the existing date", past, past + seconds(10), {}, true, past, now},
      {"newer than the existing date", past, past - seconds(10), {}, true, past, std::nullopt},
      {"older than the existing override", past, past - seconds(10), past + seconds(1), true, past,
       now},
      {"newer than the override, older than the date", past, past + seconds(10), past - seconds(1),
       true, past, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fileprovider::CloudEntryUploadParams params;
    params.contentModificationDate = c.date;
    std::optional<SyncItem> existing;
    if (c.hasExisting) {
      existing = file("f", kRoot, "a.txt");
      existing->contentModificationDate = c.existingDate;
      existing->cfsContentModificationDateOverride = c.existingOverride;
    }
    auto sanitized =
        fileprovider::sanitizedModificationDate(params, existing, now, base::Logger::null());
    EXPECT_EQ(sanitized.contentModificationDate, c.expectedDate);
    EXPECT_EQ(sanitized.cfsContentModificationDateOverride, c.expectedOverride);
  }
}

class SyncServiceUploadTest : public SyncServiceTest {
 protected:
  fileprovider::CloudEntryUploadParams snapshot(const std::string& content,
                                                std::optional<base::Date> date = std::nullopt) {
    auto path = dir_ / ("snapshot-" + std::to_string(++snapshots_));
    std::ofstream(path, std::ios::binary) << content;
    fileprovider::CloudEntryUploadParams params;
    params.contentsURL = path;
    params.contentSize = static_cast<std::int64_t>(content.size());
    params.contentModificationDate = date;
    return params;
  }
  SyncCloudResult<SyncService::CreatedItem> create(const std::string& name,
                                                   fileprovider::CloudEntryUploadParams params,
                                                   SyncFolderIdentifier parent = kRoot) {
    auto begun = await<common::BeginNewItemResult>(
        [&](auto done) { service_->willCreateItem(parent, name, "system-" + name, false, done); });
    if (!begun) return std::unexpected(begun.error());
    return await<SyncService::CreatedItem>([&](auto done) {
      service_->createFile(*begun, params, "system-" + name, name, std::nullopt, done);
    });
  }
  SyncCloudResult<SyncService::EditItemOutput> edit(const SyncItem& item,
                                                    fileprovider::CloudEntryUploadParams params) {
    return await<SyncService::EditItemOutput>(
        [&](auto done) { service_->editItem(item, params, std::nullopt, "op-1", done); });
  }
  std::vector<FakeSyncClient::Call> uploads(const std::string& operation) {
    std::vector<FakeSyncClient::Call> found;
    for (auto& call : client_->calls())
      if (call.operation == operation) found.push_back(call);
    return found;
  }
  int snapshots_ = 0;
};

TEST_F(SyncServiceUploadTest, NewFileIsUploadedWithSanitisedDateAndStored) {
  const auto future = clock_->now() + std::chrono::hours(2);
  auto created = create("report.pdf", snapshot("hello", future));
  ASSERT_TRUE(created) << created.error().description();

  auto sent = uploads("uploadFirstEntry");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].item.itemIdentifier, common::SyncItemIdentifier(kRoot));
  EXPECT_EQ(sent[0].entryParams->contentSize, 5);
  EXPECT_EQ(sent[0].entryParams->contentModificationDate, future);
  EXPECT_EQ(sent[0].entryParams->cfsContentModificationDateOverride, clock_->now());
  EXPECT_FALSE(sent[0].entryParams->baseContentVersion);

  auto child = storage_->childItem(kRoot, "report.pdf");
  ASSERT_TRUE(child && *child);
  EXPECT_EQ((*child)->contentVersion, common::CloudEntryIdentifier{"v-new-report.pdf"});
  EXPECT_EQ((*child)->systemItemIdentifier, "system-report.pdf");
  EXPECT_EQ(created->item.itemIdentifier, (*child)->itemIdentifier);
  EXPECT_TRUE(service_->uploadsInProgress(kRoot).empty());
}

TEST_F(SyncServiceUploadTest, NewFileRefusalsSendNothing) {
  validator_ = std::make_shared<fileprovider::SyncUploadValidator>(nullptr);
  validator_->start();
  start();
  store({folder("readonly", kRoot, "Read only", SyncItemPermission::viewer)});
  struct Case {
    const char* name;
    SyncFolderIdentifier parent;
    Code code;
  };
  const Case cases[] = {
      {"bad:name.txt", kRoot, Code::uploadRejected},
      {"trailing dot.", kRoot, Code::uploadRejected},
      {"fine.txt", SyncFolderIdentifier{"readonly"}, Code::permissionDenied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto created = create(c.name, snapshot("x"), c.parent);
    ASSERT_FALSE(created);
    EXPECT_EQ(codeOf(created.error()), c.code);
  }
  EXPECT_EQ(client_->count("uploadFirstEntry"), 0u);
  validator_->stop();
}

TEST_F(SyncServiceUploadTest, EditSendsBaseVersionAndLockTokenAndStoresNewVersion) {
  auto item = file("f", kRoot, "notes.txt");
  item.contentModificationDate = clock_->now() - std::chrono::hours(1);
  common::LocalLock lock;
  lock.fileIdentifier = common::SyncFileIdentifier{"f"};
  lock.token = "lock-token-1";
  store({item});
  // The lock as the locking service holds it on the item.
  auto locked = [&] {
    auto current = stored(item);
    current.localLock = lock;
    return current;
  };

  // Without a base of its own the edit is based on the stored version.
  auto edited = edit(locked(), snapshot("new contents", clock_->now()));
  ASSERT_TRUE(edited) << edited.error().description();
  EXPECT_FALSE(edited->shouldRedownloadContent);
  EXPECT_EQ(stored(item).contentVersion, common::CloudEntryIdentifier{"v-uploaded-1"});
  EXPECT_EQ(edited->item.contentVersion, common::CloudEntryIdentifier{"v-uploaded-1"});

  // The version the edit was made from wins over what the store holds by now.
  auto params = snapshot("newer contents", clock_->now());
  params.baseContentVersion = common::CloudEntryIdentifier{"v-seen-by-editor"};
  ASSERT_TRUE(edit(locked(), params));

  auto sent = uploads("uploadNextEntry");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].entryParams->baseContentVersion, common::CloudEntryIdentifier{"v1"});
  EXPECT_EQ(sent[1].entryParams->baseContentVersion,
            common::CloudEntryIdentifier{"v-seen-by-editor"});
  for (const auto& call : sent) {
    EXPECT_EQ(call.entryParams->lockToken, "lock-token-1");
    EXPECT_EQ(call.newParent->itemIdentifier, common::SyncItemIdentifier(kRoot));
  }
  EXPECT_EQ(sent[0].entryParams->contentSize, 12);
}

TEST_F(SyncServiceUploadTest, EditWithoutPermissionSendsNothing) {
  auto item = file("ro", kRoot, "locked.txt", SyncItemPermission::viewer);
  store({item});
  auto edited = edit(stored(item), snapshot("x"));
  ASSERT_FALSE(edited);
  EXPECT_EQ(codeOf(edited.error()), Code::permissionDenied);
  EXPECT_EQ(client_->count("uploadNextEntry"), 0u);
}

TEST_F(SyncServiceUploadTest, EditThatBecameConflictCopyAsksForContentsAgain) {
  auto item = file("f", kRoot, "shared.txt");
  store({item});
  client_->scriptEdits({fileprovider::UploadNextEntryOutput{
      common::PatchedSyncItem(stored(item)), true, std::string("shared (conflict).txt")}});
  auto edited = edit(stored(item), snapshot("mine"));
  ASSERT_TRUE(edited) << edited.error().description();
  EXPECT_TRUE(edited->shouldRedownloadContent);
  // Their version stays the item's; the listing brings theirs and the copy.
  EXPECT_EQ(stored(item).contentVersion, common::CloudEntryIdentifier{"v1"});
  EXPECT_GE(listings_.load(), 1);
}

TEST_F(SyncServiceUploadTest, FailedUploadReachesCaller) {
  auto item = file("f", kRoot, "a.txt");
  store({item});
  client_->scriptEdits({std::unexpected(SyncCloudError(SyncError(Code::serverUnreachable)))});
  auto edited = edit(stored(item), snapshot("x"));
  ASSERT_FALSE(edited);
  EXPECT_EQ(codeOf(edited.error()), Code::serverUnreachable);
  EXPECT_EQ(stored(item).contentVersion, common::CloudEntryIdentifier{"v1"});
}

}  // namespace
}  // namespace tarnix::testing
