// The schema history of the item database. Each migration is applied once, in this order; a
// migration, once released, never changes.
#include <chrono>
#include <string>
#include <vector>

#include "base/Date.hpp"
#include "common/DomainDataStorage.hpp"
#include "common/DriveDatabase.hpp"

namespace tarnix::common {
namespace {

using Result = DatabaseResult<void>;

DatabaseMigrator::Body sql(std::string text) {
  return [text = std::move(text)](Database& db) { return db.execute(text); };
}

// Columns of Items from the rebuild of "v6.1" up to typeAndCreator; later migrations append.
constexpr const char* kItemsV61 = R"(CREATE TABLE Items (
  itemIdentifier TEXT NOT NULL PRIMARY KEY,
  itemRealm INTEGER NOT NULL DEFAULT 0,
  parentItemIdentifier TEXT,
  cloudIdentifier TEXT DEFAULT NULL,
  filename TEXT NOT NULL COLLATE NOCASE,
  rank INTEGER NOT NULL,
  permission INTEGER NOT NULL,
  creationDate TEXT,
  flags INTEGER NOT NULL,
  author TEXT,
  uploadDate TEXT NOT NULL,
  metadataVersion INTEGER NOT NULL,
  contentVersion TEXT,
  contentSize INTEGER NOT NULL,
  contentModificationDate TEXT,
  contentChecksum TEXT,
  historySize INTEGER NOT NULL,
  lastUsedDate TEXT,
  tagData BLOB,
  fileSystemFlags INTEGER,
  typeAndCreator INTEGER NOT NULL
);)";

constexpr const char* kV1 = R"(
CREATE TABLE Items (
  itemIdentifier TEXT NOT NULL PRIMARY KEY,
  parentItemIdentifier TEXT,
  filename TEXT NOT NULL COLLATE NOCASE,
  rank INTEGER NOT NULL,
  permission INTEGER NOT NULL,
  creationDate TEXT,
  flags INTEGER NOT NULL,
  author TEXT,
  uploadDate TEXT NOT NULL,
  metadataVersion INTEGER NOT NULL,
  contentVersion TEXT,
  contentSize INTEGER NOT NULL,
  contentModificationDate TEXT,
  contentChecksum TEXT,
  historySize INTEGER NOT NULL,
  lastUsedDate TEXT,
  tagData BLOB,
  fileSystemFlags INTEGER,
  typeAndCreator INTEGER NOT NULL
);
CREATE INDEX Index_Items_rank ON Items (rank);
CREATE INDEX Index_Items_parentItemIdentifier ON Items (parentItemIdentifier);
CREATE TABLE ItemExtendedAttributes (
  itemIdentifier TEXT NOT NULL,
  attributeName TEXT NOT NULL,
  attributeData BLOB NOT NULL
);
CREATE INDEX Index_ItemExtendedAttributes_itemIdentifier ON ItemExtendedAttributes (itemIdentifier);
CREATE TABLE RemoteLocks (
  itemIdentifier TEXT NOT NULL PRIMARY KEY,
  ownerIdentifier INTEGER NOT NULL,
  ownerFirstName TEXT NOT NULL,
  ownerLastName TEXT NOT NULL,
  ownerEmail TEXT,
  FOREIGN KEY (itemIdentifier) REFERENCES Items(itemIdentifier) ON DELETE CASCADE
);
CREATE TABLE DeletedItems (
  itemIdentifier TEXT NOT NULL PRIMARY KEY,
  parentItemIdentifier TEXT NOT NULL,
  filename TEXT NOT NULL,
  rank INTEGER NOT NULL
);
CREATE INDEX Index_DeletedItems_rank ON DeletedItems (rank);
CREATE TABLE Listings (
  folderIdentifier TEXT NOT NULL PRIMARY KEY,
  version TEXT NOT NULL,
  lastSynchronizationTime TEXT NOT NULL
);
)";

Result v5(Database& db, const std::string& domainIdentifier) {
  if (auto created = db.execute(
          "CREATE TABLE DomainData (domainIdentifier TEXT NOT NULL PRIMARY KEY, domainVersion "
          "TEXT NOT NULL, domainVersionHumanReadable TEXT NOT NULL)");
      !created) {
    return created;
  }
  auto insert = db.prepare(
      "INSERT INTO DomainData (domainIdentifier, domainVersion, domainVersionHumanReadable) "
      "VALUES (?,?,?)");
  if (!insert) return std::unexpected(insert.error());
  const auto version = DomainVersionRecord::fresh();
  insert->bind(1, domainIdentifier).bind(2, version.encoded).bind(3, version.humanReadable);
  return insert->run();
}

Result v61(Database& db) {
  return db.execute(std::string(R"(
CREATE TABLE Items_Old AS SELECT * FROM Items;
DROP TABLE Items;
)") + kItemsV61 + R"(
INSERT INTO Items (itemIdentifier, itemRealm, parentItemIdentifier, cloudIdentifier, filename,
  rank, permission, creationDate, flags, author, uploadDate, metadataVersion, contentVersion,
  contentSize, contentModificationDate, contentChecksum, historySize, lastUsedDate, tagData,
  fileSystemFlags, typeAndCreator)
SELECT itemIdentifier, 0, parentItemIdentifier, itemIdentifier, filename, rank, permission,
  creationDate, flags, author, uploadDate, metadataVersion, contentVersion, contentSize,
  contentModificationDate, contentChecksum, historySize, lastUsedDate, tagData, fileSystemFlags,
  typeAndCreator FROM Items_Old;
DROP TABLE Items_Old;
CREATE INDEX Index_Items_rank ON Items (rank);
CREATE INDEX Index_Items_parentItemIdentifier ON Items (parentItemIdentifier);
CREATE INDEX Index_Items_cloudIdentifier ON Items (cloudIdentifier);
)");
}

constexpr const char* kV62 = R"(
ALTER TABLE Skips RENAME TO Skips_Old;
CREATE TABLE Skips(
  itemIdentifier TEXT NOT NULL PRIMARY KEY,
  realm INTEGER NOT NULL DEFAULT 0,
  filename TEXT NOT NULL,
  skipReason TEXT NOT NULL,
  timestamp TEXT NOT NULL,
  directory BOOLEAN NOT NULL,
  retried BOOLEAN NOT NULL,
  viewed BOOLEAN NOT NULL
);
INSERT INTO Skips (itemIdentifier, realm, filename, skipReason, timestamp, directory, retried, viewed)
SELECT itemIdentifier, 0, filename, skipReason, timestamp, directory, retried, viewed FROM Skips_Old;
DROP TABLE Skips_Old;
)";

// Ranks held by 10000 or more rows are renumbered one by one, highest identifier first.
Result v611(Database& db) {
  auto max = db.scalarInt("SELECT MAX(rank) FROM Items");
  if (!max) return std::unexpected(max.error());
  auto select = db.prepare(
      "SELECT itemIdentifier FROM Items WHERE rank IN (SELECT rank FROM Items GROUP BY rank "
      "HAVING COUNT(*) >= 10000) ORDER BY itemIdentifier DESC");
  if (!select) return std::unexpected(select.error());
  std::vector<std::string> identifiers;
  while (true) {
    auto row = select->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    identifiers.push_back(select->text(0));
  }
  auto update = db.prepare("UPDATE Items SET rank = ? WHERE itemIdentifier = ?");
  if (!update) return std::unexpected(update.error());
  std::int64_t rank = max->value_or(0);
  for (const auto& identifier : identifiers) {
    update->reset();
    update->bind(1, ++rank).bind(2, identifier);
    if (auto done = update->run(); !done) return done;
  }
  return {};
}

// Online items that never reached the cloud (no cloud identifier) are dropped, except the root.
Result v7(Database& db) {
  auto select = db.prepare(
      "SELECT itemIdentifier, filename FROM Items WHERE cloudIdentifier IS NULL AND itemRealm = 0 "
      "AND itemIdentifier NOT IN (SELECT itemIdentifier FROM RootItem)");
  if (!select) return std::unexpected(select.error());
  std::vector<std::string> identifiers;
  while (true) {
    auto row = select->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    identifiers.push_back(select->text(0));
  }
  // Bound in slices: SQLite limits the number of arguments of one statement.
  constexpr size_t kSlice = 500;
  for (size_t start = 0; start < identifiers.size(); start += kSlice) {
    const size_t count = std::min(kSlice, identifiers.size() - start);
    std::string text = "DELETE FROM Items WHERE itemIdentifier IN (";
    for (size_t i = 0; i < count; ++i) text += i == 0 ? "?" : ",?";
    text += ")";
    auto remove = db.prepare(text);
    if (!remove) return std::unexpected(remove.error());
    for (size_t i = 0; i < count; ++i) {
      remove->bind(static_cast<int>(i + 1), identifiers[start + i]);
    }
    if (auto done = remove->run(); !done) return done;
  }
  return {};
}

// Tombstones move from DeletedItems into Items (dead = 1); then every rank becomes distinct.
Result v92(Database& db) {
  if (auto altered = db.execute(R"(
ALTER TABLE Items ADD COLUMN dead BOOLEAN NOT NULL DEFAULT 0;
ALTER TABLE DomainData ADD COLUMN graveyardRank INTEGER NOT NULL DEFAULT 0;
ALTER TABLE DomainData ADD COLUMN snapshotRevision INTEGER NOT NULL DEFAULT 0;
ALTER TABLE Items ADD COLUMN revision INTEGER NOT NULL DEFAULT -1;
ALTER TABLE Items ADD COLUMN isMaterialized BOOLEAN NOT NULL DEFAULT 1;
)");
      !altered) {
    return altered;
  }
  auto insert = db.prepare(R"(
INSERT INTO Items (itemIdentifier, itemRealm, parentItemIdentifier, cloudIdentifier, filename,
  rank, permission, creationDate, flags, author, uploadDate, metadataVersion, contentVersion,
  contentSize, contentModificationDate, contentChecksum, historySize, lastUsedDate, tagData,
  fileSystemFlags, typeAndCreator, dead)
SELECT d.itemIdentifier,
  IFNULL((SELECT p.itemRealm FROM Items p WHERE p.itemIdentifier = d.parentItemIdentifier), 0),
  d.parentItemIdentifier, NULL, d.filename, d.rank, 0, NULL, 0, NULL, ?1, 0, NULL, 0, NULL, NULL,
  0, NULL, NULL, NULL, 0, 1
FROM DeletedItems d WHERE d.itemIdentifier NOT IN (SELECT itemIdentifier FROM Items))");
  if (!insert) return std::unexpected(insert.error());
  insert->bind(1, std::chrono::system_clock::now());
  if (auto done = insert->run(); !done) return done;
  // An item both alive and deleted: the newer record wins. When the deletion is newer the row
  // takes the deleted name, parent and rank and becomes a tombstone; otherwise the item came
  // back after the deletion and stays as it is.
  if (auto merged = db.execute(R"(
UPDATE Items SET
  filename = (SELECT d.filename FROM DeletedItems d WHERE d.itemIdentifier = Items.itemIdentifier),
  parentItemIdentifier = (SELECT d.parentItemIdentifier FROM DeletedItems d
                          WHERE d.itemIdentifier = Items.itemIdentifier),
  rank = (SELECT d.rank FROM DeletedItems d WHERE d.itemIdentifier = Items.itemIdentifier),
  dead = 1
WHERE dead = 0 AND EXISTS (SELECT 1 FROM DeletedItems d
                           WHERE d.itemIdentifier = Items.itemIdentifier AND d.rank > Items.rank);
DROP TABLE DeletedItems;
)");
      !merged) {
    return merged;
  }
  auto max = db.scalarInt("SELECT MAX(rank) FROM Items");
  if (!max) return std::unexpected(max.error());
  auto renumber = db.prepare("UPDATE Items SET rank = ? + rowid");
  if (!renumber) return std::unexpected(renumber.error());
  renumber->bind(1, max->value_or(0));
  return renumber->run();
}

constexpr const char* kV14 = R"(
ALTER TABLE OpenFiles RENAME TO OpenFiles_Old;
CREATE TABLE OpenFiles (
  itemIdentifier TEXT NOT NULL,
  pid INTEGER,
  appName TEXT,
  timestamp TEXT NOT NULL
);
INSERT INTO OpenFiles (itemIdentifier, pid, appName, timestamp)
SELECT itemIdentifier, pid, appName, timestamp FROM OpenFiles_Old;
DROP TABLE OpenFiles_Old;
ALTER TABLE LocalLocks ADD COLUMN appNames TEXT;
)";

constexpr const char* kUploadChunkV15 = R"(
DROP TABLE IF EXISTS UploadChunk;
CREATE TABLE UploadChunk (
  itemIdentifier TEXT NOT NULL,
  uploadId TEXT NULL,
  lastModifiedDate TEXT NULL,
  chunkNumber INTEGER NOT NULL,
  firstChunkUploadTime TEXT NULL,
  chunkChecksum TEXT NOT NULL,
  chunkSize INTEGER NOT NULL,
  PRIMARY KEY (itemIdentifier, chunkNumber)
);
)";

}  // namespace

DatabaseMigrator DriveDatabase::migrator(const std::string& domainIdentifier) {
  DatabaseMigrator m;
  m.registerMigration("v1", sql(kV1));
  m.registerMigration("v4", sql("CREATE TABLE RootItem(itemIdentifier TEXT NOT NULL PRIMARY KEY)"));
  m.registerMigration("v4.1", sql(R"(CREATE TABLE Skips(
  itemIdentifier TEXT NOT NULL PRIMARY KEY,
  filename TEXT NOT NULL,
  skipReason TEXT NOT NULL,
  timestamp TEXT NOT NULL,
  directory BOOLEAN NOT NULL,
  retried BOOLEAN NOT NULL,
  viewed BOOLEAN NOT NULL
))"));
  m.registerMigration("v4.2", sql(R"(CREATE TABLE OpenFiles (
  itemIdentifier TEXT NOT NULL PRIMARY KEY,
  pid INTEGER,
  appName TEXT,
  timestamp TEXT NOT NULL
))"));
  m.registerMigration("v4.3", sql(R"(CREATE TABLE LocalLocks (
  itemIdentifier TEXT NOT NULL PRIMARY KEY,
  token TEXT NOT NULL,
  creationDate TEXT NOT NULL,
  needsRelockBefore TEXT NOT NULL,
  expirationDate TEXT,
  source INTEGER NOT NULL,
  FOREIGN KEY (itemIdentifier) REFERENCES Items(itemIdentifier) ON DELETE CASCADE
))"));
  m.registerMigration("v5", [domainIdentifier](Database& db) { return v5(db, domainIdentifier); });
  m.registerMigration("v6", sql(R"(CREATE TABLE OfflineFolders (
  itemIdentifier TEXT NOT NULL PRIMARY KEY,
  state INTEGER NOT NULL,
  path TEXT NOT NULL,
  size INTEGER NOT NULL DEFAULT -1,
  creationDate TEXT NOT NULL
))"));
  // Rebuilding Items with foreign keys on would cascade the drop into RemoteLocks and
  // LocalLocks.
  m.registerMigration("v6.1", v61, /*foreignKeysOff=*/true);
  m.registerMigration("v6.2", sql(kV62));
  m.registerMigration("v6.3",
                      sql("ALTER TABLE Items ADD COLUMN isSkipped BOOLEAN NOT NULL DEFAULT 0"));
  m.registerMigration(
      "v6.4", sql("ALTER TABLE Items ADD COLUMN isAncestorSkipped BOOLEAN NOT NULL DEFAULT 0"));
  m.registerMigration("v6.5", sql("UPDATE Items SET rank = (SELECT MAX(rank) FROM Items) + 1 "
                                  "WHERE itemIdentifier IN (SELECT itemIdentifier FROM RootItem)"));
  m.registerMigration("v6.6", sql("ALTER TABLE RemoteLocks ADD COLUMN collaborationToken TEXT"));
  m.registerMigration("v6.7", sql(R"(
ALTER TABLE Items ADD COLUMN hasStandardUserAccess BOOLEAN NOT NULL DEFAULT 0;
ALTER TABLE Items ADD COLUMN isProjectFolder BOOLEAN NOT NULL DEFAULT 0;
)"));
  m.registerMigration("v6.8", sql(R"(CREATE TABLE ConnectedFolders (
  localPath TEXT NOT NULL PRIMARY KEY,
  cloudPath TEXT NOT NULL,
  locationIdentifier INTEGER NOT NULL,
  status INTEGER NOT NULL,
  size INTEGER NOT NULL DEFAULT -1
))"));
  m.registerMigration("v6.9", sql(R"(CREATE TABLE UploadChunk (
  itemIdentifier TEXT NOT NULL,
  uploadId TEXT NULL,
  lastModifiedDate TEXT NULL,
  chunkNumber INTEGER NOT NULL,
  firstChunkUploadTime TEXT NULL,
  chunkChecksum TEXT NOT NULL,
  PRIMARY KEY (itemIdentifier, chunkNumber)
))"));
  m.registerMigration(
      "v6.10", sql("ALTER TABLE Items ADD COLUMN isDocumentRoom BOOLEAN NOT NULL DEFAULT 0"));
  m.registerMigration("v6.11", v611);
  m.registerMigration("v7", v7);
  m.registerMigration("v8", sql(R"(
ALTER TABLE OfflineFolders ADD COLUMN isManaged BOOLEAN NOT NULL DEFAULT 0;
ALTER TABLE ConnectedFolders ADD COLUMN isManaged BOOLEAN NOT NULL DEFAULT 0;
)"));
  m.registerMigration("v9.2", v92);
  m.registerMigration("v10", sql("ALTER TABLE Skips ADD COLUMN parentItemIdentifier TEXT;"
                                 "ALTER TABLE Skips ADD COLUMN creationDate TEXT;"));
  m.registerMigration("v10.1", sql("ALTER TABLE Skips ADD COLUMN bumpedFilename TEXT;"));
  m.registerMigration("v11", sql(R"(
ALTER TABLE Items ADD COLUMN systemItemIdentifier TEXT NULL;
CREATE INDEX Index_Items_systemItemIdentifier ON Items(systemItemIdentifier) WHERE systemItemIdentifier IS NOT NULL;
)"));
  m.registerMigration("v12", sql("CREATE INDEX Index_Items_delayedDeletions ON Items "
                                 "(itemIdentifier) WHERE dead = 2"));
  m.registerMigration(
      "v13", sql("ALTER TABLE ConnectedFolders ADD COLUMN kind INTEGER NOT NULL DEFAULT 0"));
  m.registerMigration("v14", sql(kV14));
  m.registerMigration("v15", sql(kUploadChunkV15));
  m.registerMigration("v16", sql("ALTER TABLE OpenFiles ADD COLUMN appVersion TEXT"));
  m.registerMigration("v17", sql("ALTER TABLE UploadChunk ADD COLUMN fullFileContentChecksum "
                                 "TEXT NOT NULL DEFAULT ''"));
  m.registerMigration("v18", sql("ALTER TABLE LocalLocks ADD COLUMN appVersions TEXT"));
  m.registerMigration("v19", sql(R"(
ALTER TABLE Items ADD COLUMN lastFailedUploadBaseVersion TEXT NULL;
ALTER TABLE Items ADD COLUMN lastFailedUploadChecksum TEXT NULL;
CREATE TABLE NewFileFailedUploads (
  parentItemIdentifier TEXT NOT NULL,
  filename TEXT NOT NULL COLLATE NOCASE,
  checksum TEXT,
  PRIMARY KEY (parentItemIdentifier, filename)
);
)"));
  m.registerMigration("v20", sql("DROP TABLE IF EXISTS ConnectedFolders"));
  m.registerMigration("v21", sql("ALTER TABLE OpenFiles ADD COLUMN path TEXT"));
  m.registerMigration(
      "v22", sql("ALTER TABLE Items ADD COLUMN cfsContentModificationDateOverride TEXT NULL"));
  // Indexes for the per-folder reads: change enumeration walks a folder's rows by rank, paged
  // enumeration by identifier, and name lookups match a child's name without case. Without
  // them each batch or page sorts the whole folder again.
  m.registerMigration("v23", sql(R"(
CREATE INDEX Index_Items_parentItemIdentifier_rank ON Items (parentItemIdentifier, rank);
CREATE INDEX Index_Items_parentItemIdentifier_itemIdentifier ON Items (parentItemIdentifier, itemIdentifier);
CREATE INDEX Index_Items_parentItemIdentifier_filename ON Items (parentItemIdentifier, filename);
)"));
  return m;
}

}  // namespace tarnix::common
