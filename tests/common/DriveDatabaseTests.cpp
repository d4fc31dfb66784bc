#include <gtest/gtest.h>

#include "common/DriveDatabase.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::common;
using tarnix::testing::TempDir;

namespace {
constexpr const char* kDatabaseDomain = "6f1c3a51-2a4b-4e0c-9c55-1b2f3c4d5e6f";

std::int64_t scalar(Database& db, const std::string& sql) {
  auto value = db.scalarInt(sql);
  EXPECT_TRUE(value) << (value ? "" : value.error().description());
  return value && *value ? **value : -1;
}

void exec(Database& db, const std::string& sql) {
  auto done = db.execute(sql);
  ASSERT_TRUE(done) << done.error().description();
}

// A database file migrated up to and including `level`.
std::unique_ptr<Database> databaseAt(const std::filesystem::path& path, const std::string& level) {
  auto db = Database::open(path);
  EXPECT_TRUE(db);
  auto applied = DriveDatabase::migrator(kDatabaseDomain).migrate(**db, level);
  EXPECT_TRUE(applied) << applied.error().description();
  EXPECT_EQ(applied->back(), level);
  return std::move(*db);
}

const char* kOldItemInsert =
    "INSERT INTO Items (itemIdentifier, parentItemIdentifier, filename, rank, permission, flags, "
    "uploadDate, metadataVersion, contentSize, historySize, typeAndCreator) VALUES ";
}  // namespace

TEST(DriveDatabase, NewFileGetsEveryMigrationOnceInOrder) {
  TempDir dir;
  std::vector<std::string> expected{
      "v1",   "v4",   "v4.1", "v4.2", "v4.3",  "v5",   "v6",   "v6.1",  "v6.2",
      "v6.3", "v6.4", "v6.5", "v6.6", "v6.7",  "v6.8", "v6.9", "v6.10", "v6.11",
      "v7",   "v8",   "v9.2", "v10",  "v10.1", "v11",  "v12",  "v13",   "v14",
      "v15",  "v16",  "v17",  "v18",  "v19",   "v20",  "v21",  "v22",   "v23"};
  {
    auto opened = DriveDatabase::open(dir / "drive", kDatabaseDomain);
    ASSERT_TRUE(opened) << opened.error().description();
    EXPECT_EQ((*opened)->appliedMigrations(), expected);
    EXPECT_EQ((*opened)->path(), dir / "drive" / "Metadata.db");
    EXPECT_EQ((*opened)->dbQueue()->queue().label(), "DriveDatabase");
  }
  auto reopened = DriveDatabase::open(dir / "drive", kDatabaseDomain);
  ASSERT_TRUE(reopened);
  EXPECT_TRUE((*reopened)->appliedMigrations().empty());
  auto db = Database::open(dir / "drive" / "Metadata.db");
  ASSERT_TRUE(db);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM pragma_table_info('Items')"), 33);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM DomainData WHERE domainIdentifier = '" +
                             std::string(kDatabaseDomain) + "'"),
            1);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'ConnectedFolders'"), 0);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM pragma_table_info('UploadChunk')"), 8);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM pragma_table_info('OpenFiles') WHERE pk > 0"), 0);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM pragma_table_info('Skips')"), 11);
  auto mode = (*db)->prepare("PRAGMA journal_mode");
  ASSERT_TRUE(mode && *mode->step());
  EXPECT_EQ(mode->text(0), "wal");
}

TEST(DriveDatabase, RebuildsOfItemsSkipsAndOpenFilesKeepOldRows) {
  TempDir dir;
  const auto path = dir / "Metadata.db";
  {
    auto db = databaseAt(path, "v6");
    exec(*db, std::string(kOldItemInsert) +
                  "('folder/root', NULL, 'root', 1, 5, 0, '2024-01-01T00:00:00.000Z', 1, 0, 0, 0),"
                  "('file/a', 'folder/root', 'a.txt', 2, 3, 0, '2024-01-01T00:00:00.000Z', 1, 5, "
                  "1, 0)");
    exec(*db, "INSERT INTO RootItem VALUES ('folder/root')");
    exec(*db, "INSERT INTO RemoteLocks VALUES ('file/a', 7, 'Ann', 'Lee', NULL)");
    exec(*db, "INSERT INTO Skips VALUES ('file/a', 'a.txt', 'tooLarge', 't', 0, 0, 0)");
    exec(*db, "INSERT INTO OpenFiles VALUES ('file/a', 12, 'Editor', 't')");
    exec(*db, "INSERT INTO LocalLocks VALUES ('file/a', 'tok', 't', 't', NULL, 0)");
  }
  auto opened = DriveDatabase::openFile(path, kDatabaseDomain);
  ASSERT_TRUE(opened) << opened.error().description();
  auto db = Database::open(path);
  ASSERT_TRUE(db);
  EXPECT_EQ(scalar(**db,
                   "SELECT COUNT(*) FROM Items WHERE cloudIdentifier = itemIdentifier AND "
                   "itemRealm = 0"),
            2);
  // The rebuild must not cascade into the lock tables.
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM RemoteLocks"), 1);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM LocalLocks"), 1);
  EXPECT_EQ(scalar(**db, "SELECT realm FROM Skips WHERE itemIdentifier = 'file/a'"), 0);
  EXPECT_EQ(scalar(**db, "SELECT pid FROM OpenFiles WHERE itemIdentifier = 'file/a'"), 12);
  // Without the primary key a file may be open in several processes.
  exec(**db, "INSERT INTO OpenFiles VALUES ('file/a', 13, 'Viewer', 't', NULL, NULL)");
  // "v9.2" renumbers every rank above the old highest one, all distinct.
  EXPECT_EQ(scalar(**db, "SELECT COUNT(DISTINCT rank) FROM Items"), 2);
  EXPECT_GT(scalar(**db, "SELECT MIN(rank) FROM Items"), 2);
}

TEST(DriveDatabase, RankRepairOrphanRemovalAndTombstones) {
  TempDir dir;
  const auto path = dir / "Metadata.db";
  {
    auto db = databaseAt(path, "v6.10");
    const std::string columns =
        "INSERT INTO Items (itemIdentifier, itemRealm, parentItemIdentifier, cloudIdentifier, "
        "filename, rank, permission, flags, uploadDate, metadataVersion, contentSize, "
        "historySize, typeAndCreator) VALUES ";
    exec(*db, "BEGIN");
    exec(*db, columns + "('folder/root', 0, NULL, NULL, 'root', 3, 5, 0, 'd', 1, 0, 0, 0)");
    exec(*db, "INSERT INTO RootItem VALUES ('folder/root')");
    auto insert = db->prepare(columns + "(?, 0, 'folder/root', ?, ?, 5, 3, 0, 'd', 1, 0, 0, 0)");
    ASSERT_TRUE(insert);
    for (int i = 0; i < 10000; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "%05d", i);
      insert->reset();
      insert->bind(1, std::string("file/") + name)
          .bind(2, std::string("file/c") + name)
          .bind(3, std::string(name) + ".txt");
      ASSERT_TRUE(insert->run());
    }
    // Online without cloud identifier (never uploaded) and offline without one (kept).
    exec(*db, columns +
                  "('file/local', 0, 'folder/root', NULL, 'local.txt', 9, 3, 0, 'd', 1, 0, "
                  "0, 0), ('file/offline', 1, 'folder/root', NULL, 'o.txt', 9, 3, 0, 'd', "
                  "1, 0, 0, 0), ('file/back', 0, 'folder/root', 'file/back', 'back.txt', "
                  "50, 3, 0, 'd', 1, 0, 0, 0), ('file/gone', 0, 'folder/root', 'file/gone', "
                  "'gone.txt', 10, 3, 0, 'd', 1, 0, 0, 0)");
    exec(*db,
         "INSERT INTO DeletedItems VALUES ('file/deleted', 'folder/root', 'del.txt', 40), "
         "('file/back', 'folder/root', 'old.txt', 20), "
         "('file/gone', 'folder/root', 'gone-old.txt', 30)");
    exec(*db, "COMMIT");
    // "v6.11" alone: the 10000 rows of rank 5 get distinct ranks above the highest (50), the
    // highest identifier first.
    ASSERT_TRUE(DriveDatabase::migrator(kDatabaseDomain).migrate(*db, "v6.11"));
    EXPECT_EQ(scalar(*db, "SELECT rank FROM Items WHERE itemIdentifier = 'file/09999'"), 51);
    EXPECT_EQ(scalar(*db, "SELECT rank FROM Items WHERE itemIdentifier = 'file/00000'"), 10050);
    EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM Items WHERE rank = 5"), 0);
  }
  auto opened = DriveDatabase::openFile(path, kDatabaseDomain);
  ASSERT_TRUE(opened) << opened.error().description();
  auto db = Database::open(path);
  ASSERT_TRUE(db);
  // The root, 10000 files, offline, back, gone and the tombstone of deleted.
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM Items"), 10005);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(DISTINCT rank) FROM Items"), 10005);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM Items WHERE itemIdentifier = 'file/local'"), 0);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM Items WHERE itemIdentifier = 'file/offline'"), 1);
  EXPECT_EQ(scalar(**db, "SELECT dead FROM Items WHERE itemIdentifier = 'file/deleted'"), 1);
  EXPECT_EQ(scalar(**db, "SELECT dead FROM Items WHERE itemIdentifier = 'file/back'"), 0);
  EXPECT_EQ(scalar(**db, "SELECT dead FROM Items WHERE itemIdentifier = 'file/gone'"), 1);
  EXPECT_EQ(scalar(**db,
                   "SELECT COUNT(*) FROM Items WHERE itemIdentifier = 'file/gone' AND "
                   "filename = 'gone-old.txt'"),
            1);
  EXPECT_EQ(scalar(**db, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'DeletedItems'"), 0);
}

TEST(DriveDatabase, RefusesFilesFromNewerBuildsAndDamagedFiles) {
  TempDir dir;
  const auto newer = dir / "newer" / "Metadata.db";
  ASSERT_TRUE(DriveDatabase::open(dir / "newer", kDatabaseDomain));
  {
    auto db = Database::open(newer);
    exec(**db, "INSERT INTO migrations VALUES ('v99')");
  }
  auto refused = DriveDatabase::open(dir / "newer", kDatabaseDomain);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, DatabaseError::Kind::migration);
  EXPECT_NE(refused.error().description().find(newer.string()), std::string::npos);
  EXPECT_NE(refused.error().description().find("v99"), std::string::npos);

  tarnix::testing::writeFile(dir / "damaged" / "Metadata.db",
                             std::string(4096, 'x') + "not a database");
  auto damaged = DriveDatabase::open(dir / "damaged", kDatabaseDomain);
  ASSERT_FALSE(damaged);
  EXPECT_EQ(damaged.error().kind, DatabaseError::Kind::corrupt);
  EXPECT_NE(damaged.error().description().find((dir / "damaged" / "Metadata.db").string()),
            std::string::npos);
  EXPECT_EQ(tarnix::testing::readFile(dir / "damaged" / "Metadata.db").size(), 4096u + 14u);
}
