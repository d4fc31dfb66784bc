#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/DriveDatabase.hpp"
#include "common/SkipsRepository.hpp"
#include "common/SkipsService.hpp"
#include "platform/PlatformTestSupport.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::common;
namespace t = tarnix::testing;
using tarnix::base::Date;
using tarnix::base::dateFromMillisecondsSince1970;

namespace {
constexpr const char* kSkipsDomain = "6f1c3a51-2a4b-4e0c-9c55-1b2f3c4d5e6f";
const Date kT1 = dateFromMillisecondsSince1970(1700000000123);
const Date kT2 = dateFromMillisecondsSince1970(1700000999456);

SyncFolderIdentifier folder(const std::string& raw) {
  return SyncFolderIdentifier{raw};
}
SyncItemIdentifier file(const std::string& raw) {
  return SyncFileIdentifier{raw};
}

SkippedItem skip(SyncItemIdentifier identifier, std::string name, SkipReason reason,
                 SkippedItemRealm realm = SkippedItemRealm::online) {
  SkippedItem item;
  item.directory = identifier.isFolder();
  item.itemIdentifier = std::move(identifier);
  item.realm = realm;
  item.filename = std::move(name);
  item.skipReason = reason;
  item.timestamp = kT1;
  return item;
}

class SkipsDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = DriveDatabase::open(dir_.path(), kSkipsDomain);
    ASSERT_TRUE(opened) << opened.error().description();
    database_ = std::move(*opened);
    repository_ =
        std::make_shared<SkipsRepository>(database_->dbQueue(), t::recordingLogger(sink_));
  }

  // Writes a row as another program (or a damaged file) might have left it.
  void insertRaw(const std::string& values) {
    auto done = database_->dbQueue()->write<void>(
        [&](Database& db) { return db.execute("INSERT INTO Skips VALUES (" + values + ")"); });
    ASSERT_TRUE(done) << done.error().description();
  }

  t::TempDir dir_;
  std::unique_ptr<DriveDatabase> database_;
  std::shared_ptr<t::RecordingLogSink> sink_ = std::make_shared<t::RecordingLogSink>();
  std::shared_ptr<SkipsRepository> repository_;
};

// MARK: Repository

using SkipsRepositoryTest = SkipsDatabaseTest;

TEST_F(SkipsRepositoryTest, SkipsRoundTripThroughTheTable) {
  SkippedItem full = skip(folder("f-1"), "Ünïcödé folder", SkipReason::nameTooLong);
  full.retried = true;
  full.viewed = true;
  full.parentItemIdentifier = folder("parent");
  full.creationDate = kT2;
  full.bumpedFilename = "Ünïcödé folder 2";
  const SkippedItem minimal =
      skip(file("x-2"), "b.txt", SkipReason::corruptFile, SkippedItemRealm::offline);
  ASSERT_TRUE(repository_->add(full));
  ASSERT_TRUE(repository_->add(minimal));

  EXPECT_EQ(*repository_->find(full.itemIdentifier), full);
  EXPECT_EQ(*repository_->find(minimal.itemIdentifier), minimal);
  EXPECT_EQ(*repository_->find(file("absent")), std::nullopt);

  using R = SkippedItemRealm;
  EXPECT_EQ(*repository_->findAll({R::online}), std::vector{full});
  EXPECT_EQ(*repository_->findAll({R::offline}), std::vector{minimal});
  EXPECT_EQ(repository_->findAll({R::online, R::offline})->size(), 2u);
  EXPECT_TRUE(repository_->findAll({})->empty());

  // Every reason survives the trip by its case name.
  for (int raw = 0; raw <= static_cast<int>(SkipReason::corruptFile); ++raw) {
    auto reason = static_cast<SkipReason>(raw);
    ASSERT_TRUE(repository_->add(skip(file("r"), "r", reason)));
    EXPECT_EQ((*repository_->find(file("r")))->skipReason, reason) << description(reason);
  }
}

TEST_F(SkipsRepositoryTest, WritesChangeOnlyTheRowsTheyName) {
  ASSERT_TRUE(repository_->add(skip(file("a"), "a", SkipReason::excluded)));
  ASSERT_TRUE(repository_->add(skip(file("b"), "b", SkipReason::deletionConflict)));
  ASSERT_TRUE(repository_->add(skip(file("c"), "c", SkipReason::fileInUse)));
  // Replacing keeps one row per item.
  ASSERT_TRUE(repository_->add(skip(file("a"), "a2", SkipReason::lockedFile)));
  EXPECT_EQ((*repository_->find(file("a")))->filename, "a2");

  ASSERT_TRUE(repository_->markViewed({file("a"), file("absent")}));
  ASSERT_TRUE(repository_->markRetried(SkipReason::deletionConflict));
  EXPECT_TRUE((*repository_->find(file("a")))->viewed);
  EXPECT_FALSE((*repository_->find(file("c")))->viewed);
  EXPECT_TRUE((*repository_->find(file("a")))->retried);
  EXPECT_TRUE((*repository_->find(file("c")))->retried);
  EXPECT_FALSE((*repository_->find(file("b")))->retried);

  EXPECT_FALSE(*repository_->removeDeletionConflictSkip(file("a")));
  EXPECT_TRUE(*repository_->find(file("a")));
  EXPECT_TRUE(*repository_->removeDeletionConflictSkip(file("b")));
  EXPECT_FALSE(*repository_->find(file("b")));

  EXPECT_EQ(*repository_->remove({file("a"), file("c"), file("absent")}), 2);
  EXPECT_TRUE(repository_->findAll({SkippedItemRealm::online})->empty());
}

TEST_F(SkipsRepositoryTest, WritesOnAGivenConnectionBelongToTheCallersTransaction) {
  auto outcome = database_->dbQueue()->write<void>([&](Database& db) -> DatabaseResult<void> {
    EXPECT_TRUE(repository_->add(db, skip(file("a"), "a", SkipReason::excluded)));
    EXPECT_TRUE(*repository_->find(db, file("a")));
    // The plain form called on the writer queue joins the same transaction.
    EXPECT_TRUE(repository_->add(skip(file("b"), "b", SkipReason::excluded)));
    return std::unexpected(DatabaseError{DatabaseError::Kind::invalidValue, 0, "abandon", {}});
  });
  ASSERT_FALSE(outcome);
  EXPECT_TRUE(repository_->findAll({SkippedItemRealm::online})->empty());
}

// A row this build cannot read (a newer build's reason, a damaged value) is passed over with a
// warning: the other skips stay readable, the row stays in the table, and skipping the item
// again replaces it.
TEST_F(SkipsRepositoryTest, RowsThisBuildCannotReadArePassedOverWithAWarning) {
  constexpr const char* kWarning = "Passing over a skip this build cannot read";
  struct Case {
    const char* what;
    std::string row;
    bool inAskedRealms = true;
  };
  const std::string ok = "'2023-11-14T22:13:20.123Z', 0, 0, 0";
  const Case cases[] = {
      {"identifier without prefix", "'bogus', 0, 'n', 'excluded', " + ok + ", NULL, NULL, NULL"},
      {"unknown realm", "'file/r', 7, 'n', 'excluded', " + ok + ", NULL, NULL, NULL", false},
      {"reason of a newer build", "'file/r', 0, 'n', 'sleepy', " + ok + ", NULL, NULL, NULL"},
      {"bad timestamp", "'file/r', 0, 'n', 'excluded', 'yesterday', 0, 0, 0, NULL, NULL, NULL"},
      {"missing timestamp", "'file/r', 0, 'n', 'excluded', '', 0, 0, 0, NULL, NULL, NULL"},
      {"file as parent", "'file/r', 0, 'n', 'excluded', " + ok + ", 'file/p', NULL, NULL"},
      {"bad creation date", "'file/r', 0, 'n', 'excluded', " + ok + ", NULL, 'soon', NULL"},
  };
  const SkippedItem good = skip(file("good"), "good.txt", SkipReason::fileInUse);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(repository_->add(good));
    insertRaw(c.row);
    const auto identifier =
        c.row.starts_with("'bogus'") ? std::string("bogus") : std::string("file/r");
    const auto warningsBefore = sink_->count(kWarning);

    auto all = repository_->findAll({SkippedItemRealm::online, SkippedItemRealm::offline});
    ASSERT_TRUE(all) << all.error().description();
    EXPECT_EQ(*all, std::vector<SkippedItem>{good});
    EXPECT_EQ(sink_->count(kWarning), warningsBefore + (c.inAskedRealms ? 1 : 0));
    if (c.inAskedRealms) {
      const auto warning = sink_->entries().back();
      ASSERT_EQ(warning.message, kWarning);
      EXPECT_EQ(warning.level, tarnix::base::LoggerLevel::warning);
      ASSERT_TRUE(warning.metadata);
      EXPECT_NE(warning.metadata->description().find(identifier), std::string::npos);
    }
    // Nothing is lost: the row stays for a build that can read it.
    auto rows = database_->dbQueue()->read<std::optional<std::int64_t>>(
        [](Database& db) { return db.scalarInt("SELECT COUNT(*) FROM Skips"); });
    EXPECT_EQ(**rows, 2);

    if (identifier == "file/r") {
      auto one = repository_->find(file("r"));
      ASSERT_TRUE(one) << one.error().description();
      EXPECT_FALSE(*one);
      // Skipping the item again replaces the row.
      const auto again = skip(file("r"), "r.txt", SkipReason::excluded);
      ASSERT_TRUE(repository_->add(again));
      EXPECT_EQ(*repository_->find(file("r")), again);
    }
    auto removed = database_->dbQueue()->write<void>(
        [&](Database& db) { return db.execute("DELETE FROM Skips"); });
    ASSERT_TRUE(removed);
  }
  EXPECT_EQ(sink_->count("Reading skips from DB failed."), 0u);
  EXPECT_EQ(sink_->count("Reading skip from DB failed."), 0u);
}

TEST_F(SkipsRepositoryTest, FailuresAreLoggedWithTheOperationsText) {
  auto dropped = database_->dbQueue()->write<void>(
      [&](Database& db) { return db.execute("DROP TABLE Skips"); });
  ASSERT_TRUE(dropped);
  const auto id = file("a");
  EXPECT_FALSE(repository_->findAll({SkippedItemRealm::online}));
  EXPECT_FALSE(repository_->find(id));
  EXPECT_FALSE(repository_->add(skip(id, "a", SkipReason::excluded)));
  EXPECT_FALSE(repository_->remove({id}));
  EXPECT_FALSE(repository_->removeDeletionConflictSkip(id));
  EXPECT_FALSE(repository_->markViewed({id}));
  EXPECT_FALSE(repository_->markRetried(SkipReason::excluded));
  for (const char* text : {"Reading skips from DB failed.", "Reading skip from DB failed.",
                           "Adding skip to DB failed.", "Marking skips as viewed in DB failed.",
                           "Marking skips as retried in DB failed."}) {
    EXPECT_EQ(sink_->count(text), 1u) << text;
  }
  EXPECT_EQ(sink_->count("Removing skip from DB failed."), 2u);
}

// MARK: Service

class SkipsServiceTest : public SkipsDatabaseTest {
 protected:
  void SetUp() override {
    SkipsDatabaseTest::SetUp();
    observation_ = center_->addObserver(
        kSkippedFilesChangedNotification,
        [this](const std::string&, const std::string& object) { posted_.push_back(object); });
    service_ = std::make_unique<SkipsService>(repository_, center_, features_,
                                              t::recordingLogger(sink_), kSkipsDomain, clock_);
  }

  const tarnix::base::LogEntry* lastEntry(const std::string& message) const {
    entries_ = sink_->entries();
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
      if (it->message == message) return &*it;
    }
    return nullptr;
  }
  std::string metadata(const std::string& message, const std::string& key) const {
    auto entry = lastEntry(message);
    if (!entry || !entry->metadata) return "<no entry>";
    auto value = entry->metadata->get(key);
    return value && value->asString() ? *value->asString() : "<no value>";
  }

  SkipSubject subject(SyncItemIdentifier identifier, std::string name) const {
    return SkipSubject{std::move(identifier), SkippedItemRealm::online, std::move(name),
                       folder("parent"), kT1};
  }

  std::shared_ptr<tarnix::platform::InProcessNotificationCenter> center_ =
      std::make_shared<tarnix::platform::InProcessNotificationCenter>();
  std::shared_ptr<void> observation_;
  std::vector<std::string> posted_;
  FeatureList features_;
  std::shared_ptr<tarnix::base::ManualClock> clock_ = tarnix::base::ManualClock::make(kT2);
  std::unique_ptr<SkipsService> service_;
  mutable std::vector<tarnix::base::LogEntry> entries_;
};

TEST_F(SkipsServiceTest, CreatingUpdatingAndResolvingASkip) {
  auto created = service_->createSkip(subject(file("a"), "song.mp3"), SkipReason::fileIsTooLarge);
  ASSERT_TRUE(created && *created);
  EXPECT_EQ((*created)->timestamp, kT2);
  EXPECT_EQ(**repository_->find(file("a")), **created);
  EXPECT_EQ(posted_, std::vector<std::string>{kSkipsDomain});
  EXPECT_EQ(metadata("A skip was created", "itemIdentifier"), "file/a");
  EXPECT_EQ(metadata("A skip was created", "filename"), "song.mp3");

  // The same finding again changes nothing and tells no one.
  ASSERT_TRUE(service_->createSkip(subject(file("a"), "song.mp3"), SkipReason::fileIsTooLarge));
  EXPECT_EQ(posted_.size(), 1u);
  EXPECT_EQ(sink_->count("A skip was created"), 1u);

  EXPECT_EQ((**repository_->find(file("a"))).timestamp, kT2);

  // A new reason updates the skip, stamped anew, and clears the user's marks.
  clock_->advance(std::chrono::minutes(1));
  ASSERT_TRUE(repository_->markViewed({file("a")}));
  ASSERT_TRUE(service_->createSkip(subject(file("a"), "song.mp3"), SkipReason::fileInUse));
  auto stored = **repository_->find(file("a"));
  EXPECT_EQ(stored.skipReason, SkipReason::fileInUse);
  EXPECT_EQ(stored.timestamp, kT2 + std::chrono::minutes(1));
  EXPECT_FALSE(stored.viewed);
  EXPECT_EQ(sink_->count("A skip was updated"), 1u);
  EXPECT_EQ(posted_.size(), 2u);

  auto bumped = service_->updateSkip(file("a"), "song 2.mp3");
  ASSERT_TRUE(bumped);
  EXPECT_EQ((**repository_->find(file("a"))).bumpedFilename, "song 2.mp3");
  EXPECT_EQ(metadata("A skip was updated with bumped name", "bumpedFilename"), "song 2.mp3");
  EXPECT_EQ(posted_.size(), 3u);

  EXPECT_TRUE(*service_->resolveSkip(file("a")));
  EXPECT_FALSE(*repository_->find(file("a")));
  EXPECT_EQ(metadata("A skip was resolved", "filename"), "song.mp3");
  EXPECT_EQ(posted_.size(), 4u);
  EXPECT_FALSE(*service_->resolveSkip(file("a")));
  EXPECT_EQ(posted_.size(), 4u);

  auto missing = service_->updateSkip(file("a"), "x");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, SkipsError::Kind::noSuchSkip);
  EXPECT_EQ(sink_->count("Failed to update skip"), 1u);
  EXPECT_EQ(posted_.size(), 4u);
}

TEST_F(SkipsServiceTest, DeletionConflictSkipMovesToTheRecreatedItem) {
  ASSERT_TRUE(
      service_->createSkip(subject(file("old"), "Plan.docx"), SkipReason::deletionConflict));
  ASSERT_TRUE(service_->createSkip(subject(file("other"), "Notes.docx"), SkipReason::fileInUse));

  EXPECT_FALSE(service_->deletionConflictSkip(folder("parent"), "Notes.docx"));
  EXPECT_FALSE(service_->deletionConflictSkip(folder("elsewhere"), "Plan.docx"));
  auto found = service_->deletionConflictSkip(folder("parent"), "Plan.docx");
  ASSERT_TRUE(found);

  auto moved = service_->updateDeletionConflictSkip(*found, file("new"));
  ASSERT_TRUE(moved);
  EXPECT_FALSE(*repository_->find(file("old")));
  auto stored = **repository_->find(file("new"));
  EXPECT_EQ(stored.skipReason, SkipReason::deletionConflict);
  EXPECT_EQ(stored.filename, "Plan.docx");
  EXPECT_EQ(metadata("A skip was updated", "new itemIdentifier"), "file/new");
  EXPECT_EQ(metadata("A skip was updated", "itemIdentifier"), "file/old");

  // Moving it a second time from the old item finds nothing to move.
  auto again = service_->updateDeletionConflictSkip(*found, file("newer"));
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind, SkipsError::Kind::noSuchSkip);
  EXPECT_FALSE(*repository_->find(file("newer")));
}

TEST_F(SkipsServiceTest, FeaturesOffWriteNothing) {
  features_.initialize(std::map<std::string, FeatureOverrideState>{
      {"deletion-conflict-skip", FeatureOverrideState::disableFeature}});
  auto stored = skip(file("old"), "Plan.docx", SkipReason::deletionConflict);
  stored.parentItemIdentifier = folder("parent");
  ASSERT_TRUE(repository_->add(stored));
  EXPECT_FALSE(service_->deletionConflictSkip(folder("parent"), "Plan.docx"));
  EXPECT_EQ(*service_->createSkip(subject(file("b"), "b"), SkipReason::deletionConflict),
            std::nullopt);
  EXPECT_TRUE(*service_->createSkip(subject(file("c"), "c"), SkipReason::fileInUse));

  features_.initialize(
      std::map<std::string, FeatureOverrideState>{{"skips", FeatureOverrideState::disableFeature}});
  EXPECT_EQ(*service_->createSkip(subject(file("d"), "d"), SkipReason::fileInUse), std::nullopt);
  EXPECT_FALSE(*repository_->find(file("b")));
  EXPECT_FALSE(*repository_->find(file("d")));
  EXPECT_EQ(posted_.size(), 1u);
}

TEST_F(SkipsServiceTest, UnwantedCloudNamesAreReconciledInsideTheListingsTransaction) {
  auto listing = [&](std::vector<UnwantedCloudItem> unwanted) {
    SkipsChange change;
    auto written = database_->dbQueue()->write<void>([&](Database& db) -> DatabaseResult<void> {
      auto reconciled = service_->reconcileUnwantedCloudItems(db, folder("dir"),
                                                              SkippedItemRealm::online, unwanted);
      if (!reconciled) return std::unexpected(reconciled.error().databaseError);
      change = *reconciled;
      return {};
    });
    EXPECT_TRUE(written);
    return change;
  };
  auto excluded = [&] {
    std::map<std::string, SkippedItem> byName;
    auto all = repository_->findAll({SkippedItemRealm::online});
    for (auto& s : *all) {
      if (s.skipReason == SkipReason::excluded) byName.emplace(s.filename, s);
    }
    return byName;
  };
  // A skip of another folder and one of another reason stay whatever the listing says.
  auto elsewhere = skip(file("e"), ".DS_Store", SkipReason::excluded);
  elsewhere.parentItemIdentifier = folder("other");
  ASSERT_TRUE(repository_->add(elsewhere));

  EXPECT_TRUE(listing({{".DS_Store", ItemType::file, kT1},
                       {"._x", ItemType::file, std::nullopt},
                       {"._x", ItemType::file, std::nullopt},
                       {"..", ItemType::folder, std::nullopt}})
                  .changed);
  EXPECT_TRUE(posted_.empty()) << "the listing posts once its transaction committed";
  auto first = excluded();
  ASSERT_EQ(first.size(), 3u);  // the other folder's skip shares a name
  ASSERT_EQ(repository_->findAll({SkippedItemRealm::online})->size(), 4u);
  EXPECT_TRUE(first.at("..").directory);
  EXPECT_TRUE(first.at("..").itemIdentifier.isFolder());

  EXPECT_FALSE(listing({{"..", ItemType::folder, std::nullopt},
                        {".DS_Store", ItemType::file, kT1},
                        {"._x", ItemType::file, std::nullopt}})
                   .changed);
  EXPECT_EQ(repository_->findAll({SkippedItemRealm::online})->size(), 4u);

  EXPECT_TRUE(listing({{"._x", ItemType::file, std::nullopt}}).changed);
  auto remaining = *repository_->findAll({SkippedItemRealm::online});
  ASSERT_EQ(remaining.size(), 2u);
  EXPECT_EQ(**repository_->find(elsewhere.itemIdentifier), elsewhere);
  EXPECT_EQ(sink_->count("A skip was resolved"), 2u);

  service_->notifySkipsChanged();
  EXPECT_EQ(posted_.size(), 1u);
  EXPECT_TRUE(SkipsService::isUnwantedCloudName("a/b", ItemType::file));
  EXPECT_FALSE(SkipsService::isUnwantedCloudName("Report.docx", ItemType::file));
}

TEST_F(SkipsServiceTest, BadStoredRowsAndBadInputAreReportedNotFatal) {
  insertRaw("'file/r', 0, 'n', 'deletionConflict', 'x', 0, 0, 0, 'folder/parent', NULL, NULL");
  // The unreadable row is passed over: no conflict is found, and the failure is not the
  // service's.
  EXPECT_FALSE(service_->deletionConflictSkip(folder("parent"), "n"));
  EXPECT_EQ(sink_->count("Failed to detect deletionConflict skip"), 0u);
  EXPECT_EQ(sink_->count("Passing over a skip this build cannot read"), 1u);

  // Skipping the item again writes a readable row in its place.
  auto created = service_->createSkip(subject(file("r"), "n"), SkipReason::fileInUse);
  ASSERT_TRUE(created && *created) << (created ? "" : created.error().description());
  EXPECT_EQ(**repository_->find(file("r")), **created);
  EXPECT_EQ(sink_->count("A skip was created"), 1u);
  EXPECT_EQ(posted_.size(), 1u);

  service_->itemWasDeleted("not an identifier");
  EXPECT_EQ(sink_->count("Failed to update skip"), 1u);
  EXPECT_EQ(posted_.size(), 1u);

  ASSERT_TRUE(repository_->add(skip(file("gone"), "gone.txt", SkipReason::fileInUse)));
  service_->itemWasDeleted("file/gone");
  EXPECT_FALSE(*repository_->find(file("gone")));
  EXPECT_EQ(posted_.size(), 2u);
}

}  // namespace
