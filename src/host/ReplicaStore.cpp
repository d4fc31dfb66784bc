#include "host/ReplicaStore.hpp"

#include <algorithm>
#include <span>

#include "base/Uuid.hpp"
#include "common/DatabaseMigrator.hpp"

namespace tarnix::host {
namespace {

using common::Database;
using common::DatabaseError;
using common::Statement;

constexpr const char* kColumns =
    "inode, identifier, parentInode, filename, isFolder, size, creationDate, modificationDate, "
    "capabilities, fileSystemFlags, contentVersion, metadataVersion, userInfo, decorations, "
    "childrenListed, contentPresent, presentContentVersion, contentPath, contentSize, lastAccess, "
    "localContentPath, localBaseVersion, localError";

common::DatabaseMigrator migrator() {
  common::DatabaseMigrator m;
  m.registerMigration("createReplicaItems", [](Database& db) {
    return db.execute(
        "CREATE TABLE ReplicaItems ("
        " inode INTEGER PRIMARY KEY AUTOINCREMENT,"
        " identifier TEXT NOT NULL UNIQUE,"
        " parentInode INTEGER NOT NULL,"
        " filename TEXT NOT NULL,"
        " isFolder INTEGER NOT NULL,"
        " size INTEGER NOT NULL DEFAULT 0,"
        " creationDate INTEGER,"
        " modificationDate INTEGER,"
        " capabilities INTEGER NOT NULL DEFAULT 0,"
        " fileSystemFlags INTEGER,"
        " contentVersion BLOB NOT NULL DEFAULT x'',"
        " metadataVersion BLOB NOT NULL DEFAULT x'',"
        " userInfo TEXT NOT NULL DEFAULT '{}',"
        " decorations TEXT NOT NULL DEFAULT '[]',"
        " childrenListed INTEGER NOT NULL DEFAULT 0,"
        " contentPresent INTEGER NOT NULL DEFAULT 0,"
        " presentContentVersion BLOB,"
        " contentPath TEXT,"
        " contentSize INTEGER NOT NULL DEFAULT 0,"
        " lastAccess INTEGER NOT NULL DEFAULT 0);"
        "CREATE INDEX ReplicaItemsByParent ON ReplicaItems(parentInode, filename);"
        "CREATE INDEX ReplicaItemsByAccess ON ReplicaItems(contentPresent, lastAccess);"
        "CREATE TABLE ReplicaState (key TEXT PRIMARY KEY, value TEXT);");
  });
  m.registerMigration("createReplicaJournal", [](Database& db) {
    return db.execute(
        "CREATE TABLE IF NOT EXISTS ReplicaJournal ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " kind TEXT NOT NULL,"
        " identifier TEXT NOT NULL,"
        " parentIdentifier TEXT NOT NULL,"
        " filename TEXT NOT NULL,"
        " isFolder INTEGER NOT NULL DEFAULT 0,"
        " newParentIdentifier TEXT,"
        " newFilename TEXT,"
        " contentVersion BLOB NOT NULL DEFAULT x'',"
        " metadataVersion BLOB NOT NULL DEFAULT x'',"
        " options INTEGER NOT NULL DEFAULT 0,"
        " time INTEGER NOT NULL);"
        "CREATE INDEX IF NOT EXISTS ReplicaJournalByIdentifier ON ReplicaJournal(identifier);");
  });
  m.registerMigration("addLocalContents", [](Database& db) {
    return db.execute(
        "ALTER TABLE ReplicaItems ADD COLUMN localContentPath TEXT;"
        "ALTER TABLE ReplicaItems ADD COLUMN localBaseVersion BLOB;"
        "ALTER TABLE ReplicaItems ADD COLUMN localError TEXT;"
        "ALTER TABLE ReplicaJournal ADD COLUMN contentPath TEXT;");
  });
  return m;
}

/// Identifiers the host makes for items the extension does not know yet.
constexpr std::string_view kLocalPrefix = "local-";

constexpr auto kLocalFileCapabilities =
    fp::ItemCapabilities::allowsReading | fp::ItemCapabilities::allowsWriting |
    fp::ItemCapabilities::allowsReparenting | fp::ItemCapabilities::allowsRenaming |
    fp::ItemCapabilities::allowsDeleting;

std::span<const std::uint8_t> bytes(const fp::Data& data) {
  return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}
fp::Data data(const std::vector<std::uint8_t>& blob) {
  return fp::Data(blob.begin(), blob.end());
}

ReplicaEntry readEntry(const Statement& s) {
  ReplicaEntry e;
  e.inode = static_cast<Inode>(s.int64(0));
  e.identifier = fp::ItemIdentifier(s.text(1));
  e.parentInode = static_cast<Inode>(s.int64(2));
  e.filename = s.text(3);
  e.isFolder = s.boolean(4);
  e.size = s.int64(5);
  if (!s.isNull(6)) e.creationMilliseconds = s.int64(6);
  if (!s.isNull(7)) e.modificationMilliseconds = s.int64(7);
  e.capabilities = static_cast<fp::ItemCapabilities>(s.int64(8));
  if (!s.isNull(9)) e.fileSystemFlags = static_cast<fp::FileSystemFlags>(s.int64(9));
  e.version.contentVersion = data(s.blob(10));
  e.version.metadataVersion = data(s.blob(11));
  // Values written by this store; a damaged one reads as empty rather than failing the item.
  if (auto info = base::parseJSON(s.text(12)); info && info->is_object()) e.userInfo = *info;
  if (auto list = base::parseJSON(s.text(13)); list && list->is_array()) {
    for (const auto& d : *list)
      if (d.is_string()) e.decorations.push_back(d.get<std::string>());
  }
  e.childrenListed = s.boolean(14);
  e.contentPresent = s.boolean(15);
  if (!s.isNull(16)) e.presentContentVersion = data(s.blob(16));
  if (!s.isNull(17)) e.contentPath = s.text(17);
  e.contentSize = s.int64(18);
  e.lastAccess = s.int64(19);
  if (!s.isNull(20)) e.localContentPath = s.text(20);
  if (!s.isNull(21)) e.localBaseVersion = data(s.blob(21));
  e.localError = s.optionalText(22);
  return e;
}

constexpr const char* kJournalColumns =
    "id, kind, identifier, parentIdentifier, filename, isFolder, newParentIdentifier, newFilename,"
    " contentVersion, metadataVersion, options, time, contentPath";

constexpr std::pair<JournalEntry::Kind, const char*> kJournalKinds[] = {
    {JournalEntry::Kind::createFolder, "createFolder"},
    {JournalEntry::Kind::rename, "rename"},
    {JournalEntry::Kind::removeFolder, "removeFolder"},
    {JournalEntry::Kind::removeFile, "removeFile"},
    {JournalEntry::Kind::writeContents, "writeContents"},
};

// A kind this build does not know is passed over (the store refuses files of newer builds, so
// only a damaged row reads so).
std::optional<JournalEntry::Kind> journalKind(const std::string& text) {
  for (const auto& [kind, name] : kJournalKinds)
    if (text == name) return kind;
  return std::nullopt;
}

std::optional<JournalEntry> readJournalEntry(const Statement& s) {
  auto kind = journalKind(s.text(1));
  if (!kind) return std::nullopt;
  JournalEntry e;
  e.id = s.int64(0);
  e.kind = *kind;
  e.identifier = fp::ItemIdentifier(s.text(2));
  e.parentIdentifier = fp::ItemIdentifier(s.text(3));
  e.filename = s.text(4);
  e.isFolder = s.boolean(5);
  if (auto v = s.optionalText(6)) e.newParentIdentifier = fp::ItemIdentifier(*v);
  e.newFilename = s.optionalText(7);
  e.baseVersion.contentVersion = data(s.blob(8));
  e.baseVersion.metadataVersion = data(s.blob(9));
  e.options = static_cast<std::uint32_t>(s.int64(10));
  e.time = s.int64(11);
  if (auto path = s.optionalText(12)) e.contentPath = *path;
  return e;
}

std::string decorationsText(const std::vector<std::string>& decorations) {
  base::JSONValue list = base::JSONValue::array();
  for (const auto& d : decorations) list.push_back(d);
  return list.dump();
}

}  // namespace

const char* journalKindName(JournalEntry::Kind kind) {
  for (const auto& [k, name] : kJournalKinds)
    if (k == kind) return name;
  return "unknown";
}

StoreResult<std::unique_ptr<ReplicaStore>> ReplicaStore::open(const std::filesystem::path& path,
                                                              Database::Mode mode) {
  auto db = Database::open(path, mode);
  if (!db) return std::unexpected(db.error());
  if (mode == Database::Mode::readWrite) {
    if (auto migrated = migrator().migrate(**db); !migrated)
      return std::unexpected(migrated.error());
    auto root = (*db)->prepare(
        "INSERT OR IGNORE INTO ReplicaItems (inode, identifier, parentInode, filename, isFolder,"
        " capabilities) VALUES (1, ?, 1, '', 1, ?)");
    if (!root) return std::unexpected(root.error());
    root->bind(1, std::string(fp::ItemIdentifier::kRootContainerRawValue))
        .bind(2, static_cast<std::int64_t>(fp::rawValue(fp::ItemCapabilities::allowsReading)));
    if (auto ran = root->run(); !ran) return std::unexpected(ran.error());
  } else if (!(*db)->tableExists("ReplicaItems")) {
    return std::unexpected(
        DatabaseError{DatabaseError::Kind::corrupt, 0, "not a replica store", path});
  } else if (auto applied = common::DatabaseMigrator::appliedMigrations(**db);
             !applied || applied->size() < migrator().names().size()) {
    // Reading it as it is would fail on what it lacks; opening it for writing updates it.
    return std::unexpected(DatabaseError{DatabaseError::Kind::migration, 0,
                                         "the replica store was written by an older version",
                                         path});
  }
  return std::unique_ptr<ReplicaStore>(new ReplicaStore(std::move(*db)));
}

StoreResult<std::optional<ReplicaEntry>> ReplicaStore::queryOneLocked(const char* sql,
                                                                      auto&& bind) {
  auto s = db_->prepare(sql);
  if (!s) return std::unexpected(s.error());
  bind(*s);
  auto row = s->step();
  if (!row) return std::unexpected(row.error());
  if (!*row) return std::optional<ReplicaEntry>();
  return std::optional<ReplicaEntry>(readEntry(*s));
}

StoreResult<std::vector<ReplicaEntry>> ReplicaStore::queryManyLocked(const char* sql, auto&& bind) {
  auto s = db_->prepare(sql);
  if (!s) return std::unexpected(s.error());
  bind(*s);
  std::vector<ReplicaEntry> out;
  while (true) {
    auto row = s->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    out.push_back(readEntry(*s));
  }
  return out;
}

StoreResult<std::optional<ReplicaEntry>> ReplicaStore::entry(Inode inode) {
  base::MutexLock lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE inode = ?";
  return queryOneLocked(sql.c_str(),
                        [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(inode)); });
}

StoreResult<std::optional<ReplicaEntry>> ReplicaStore::entry(const fp::ItemIdentifier& identifier) {
  base::MutexLock lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE identifier = ?";
  return queryOneLocked(sql.c_str(), [&](Statement& s) { s.bind(1, identifier.rawValue()); });
}

StoreResult<std::optional<ReplicaEntry>> ReplicaStore::child(Inode parent,
                                                             const std::string& name) {
  base::MutexLock lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kColumns +
                                 " FROM ReplicaItems WHERE parentInode = ? AND filename = ?"
                                 " AND inode != 1 ORDER BY inode LIMIT 1";
  return queryOneLocked(sql.c_str(), [&](Statement& s) {
    s.bind(1, static_cast<std::int64_t>(parent)).bind(2, name);
  });
}

StoreResult<std::vector<ReplicaEntry>> ReplicaStore::children(Inode parent) {
  base::MutexLock lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kColumns +
                                 " FROM ReplicaItems WHERE parentInode = ? AND inode != 1"
                                 " ORDER BY filename";
  return queryManyLocked(sql.c_str(),
                         [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(parent)); });
}

StoreResult<std::optional<UpsertResult>> ReplicaStore::upsert(const fp::Item& item) {
  base::MutexLock lock(mutex_);
  return db_->transaction<std::optional<UpsertResult>>([&] {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    return upsertLocked(item);
  });
}

StoreResult<std::optional<UpsertResult>> ReplicaStore::upsertLocked(const fp::Item& item) {
  const auto identifier = item.itemIdentifier();
  static const std::string byIdentifier =
      std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE identifier = ?";
  auto existing =
      queryOneLocked(byIdentifier.c_str(), [&](Statement& s) { s.bind(1, identifier.rawValue()); });
  if (!existing) return std::unexpected(existing.error());

  // A pending local change wins over what the extension reports.
  auto pending = pendingLocked(identifier);
  if (!pending) return std::unexpected(pending.error());
  using Kind = JournalEntry::Kind;
  if (*pending &&
      ((*pending)->kind == Kind::removeFile || (*pending)->kind == Kind::removeFolder)) {
    if (!*existing) return std::optional<UpsertResult>();
    UpsertResult unchanged;
    unchanged.inode = (**existing).inode;
    return std::optional<UpsertResult>(unchanged);
  }
  const bool renamed = *pending && (*pending)->kind == Kind::rename;
  const fp::ItemIdentifier parentIdentifier =
      renamed ? (*pending)->newParentIdentifier.value_or(item.parentItemIdentifier())
              : item.parentItemIdentifier();

  Inode parentInode = kRootInode;
  if (!identifier.isRootContainer()) {
    auto parent = queryOneLocked(byIdentifier.c_str(),
                                 [&](Statement& s) { s.bind(1, parentIdentifier.rawValue()); });
    if (!parent) return std::unexpected(parent.error());
    if (!*parent || !(*parent)->isFolder) return std::optional<UpsertResult>();
    parentInode = (*parent)->inode;
  }

  const auto version = item.itemVersion();
  const bool isFolder = item.isFolder() || identifier.isRootContainer();
  const auto creation = item.creationDate();
  const auto modification = item.contentModificationDate();
  const auto flags = item.fileSystemFlags();
  std::string filename = identifier.isRootContainer() ? std::string() : item.filename();
  if (renamed && (*pending)->newFilename) filename = *(*pending)->newFilename;
  std::optional<std::int64_t> flagsValue;
  if (flags) flagsValue = static_cast<std::int64_t>(fp::rawValue(*flags));
  std::optional<std::int64_t> creationValue, modificationValue;
  if (creation) creationValue = base::millisecondsSince1970(*creation);
  if (modification) modificationValue = base::millisecondsSince1970(*modification);

  UpsertResult result;
  if (!*existing) {
    auto s = db_->prepare(
        "INSERT INTO ReplicaItems (identifier, parentInode, filename, isFolder, size,"
        " creationDate, modificationDate, capabilities, fileSystemFlags, contentVersion,"
        " metadataVersion, userInfo, decorations) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!s) return std::unexpected(s.error());
    s->bind(1, identifier.rawValue())
        .bind(2, static_cast<std::int64_t>(parentInode))
        .bind(3, filename)
        .bind(4, isFolder)
        .bind(5, item.documentSize().value_or(0))
        .bind(6, creationValue)
        .bind(7, modificationValue)
        .bind(8, static_cast<std::int64_t>(fp::rawValue(item.capabilities())))
        .bind(9, flagsValue)
        .bindBlob(10, bytes(version.contentVersion))
        .bindBlob(11, bytes(version.metadataVersion))
        .bind(12, item.userInfo().dump())
        .bind(13, decorationsText(item.decorations()));
    if (auto ran = s->run(); !ran) return std::unexpected(ran.error());
    auto id = db_->scalarInt("SELECT last_insert_rowid()");
    if (!id) return std::unexpected(id.error());
    result.inode = static_cast<Inode>(id->value_or(0));
    result.created = true;
    result.attributesChanged = true;
    return std::optional<UpsertResult>(result);
  }

  const ReplicaEntry& old = **existing;
  // A local edit keeps the size, date and contents the user wrote until it is confirmed.
  const std::int64_t size = old.hasLocalEdit() ? old.size : item.documentSize().value_or(0);
  if (old.hasLocalEdit()) modificationValue = old.modificationMilliseconds;
  result.inode = old.inode;
  result.attributesChanged = old.version != version || old.filename != filename ||
                             old.parentInode != parentInode || old.size != size ||
                             old.capabilities != item.capabilities();
  if (old.parentInode != parentInode || old.filename != filename)
    result.previousPlacement = std::make_pair(old.parentInode, old.filename);
  bool dropContent = false;
  if (old.contentPresent && old.presentContentVersion != version.contentVersion &&
      !old.hasLocalEdit()) {
    dropContent = true;
    result.staleContentPath = old.contentPath;
  }
  auto s = db_->prepare(
      "UPDATE ReplicaItems SET parentInode = ?, filename = ?, isFolder = ?, size = ?,"
      " creationDate = ?, modificationDate = ?, capabilities = ?, fileSystemFlags = ?,"
      " contentVersion = ?, metadataVersion = ?, userInfo = ?, decorations = ?,"
      " contentPresent = CASE WHEN ? THEN 0 ELSE contentPresent END,"
      " contentPath = CASE WHEN ? THEN NULL ELSE contentPath END,"
      " contentSize = CASE WHEN ? THEN 0 ELSE contentSize END"
      " WHERE inode = ?");
  if (!s) return std::unexpected(s.error());
  s->bind(1, static_cast<std::int64_t>(parentInode))
      .bind(2, filename)
      .bind(3, isFolder)
      .bind(4, size)
      .bind(5, creationValue)
      .bind(6, modificationValue)
      .bind(7, static_cast<std::int64_t>(fp::rawValue(item.capabilities())))
      .bind(8, flagsValue)
      .bindBlob(9, bytes(version.contentVersion))
      .bindBlob(10, bytes(version.metadataVersion))
      .bind(11, item.userInfo().dump())
      .bind(12, decorationsText(item.decorations()))
      .bind(13, dropContent)
      .bind(14, dropContent)
      .bind(15, dropContent)
      .bind(16, static_cast<std::int64_t>(old.inode));
  if (auto ran = s->run(); !ran) return std::unexpected(ran.error());
  return std::optional<UpsertResult>(result);
}

StoreResult<std::vector<std::optional<UpsertResult>>> ReplicaStore::upsertAll(
    const std::vector<fp::ItemPtr>& items) {
  base::MutexLock lock(mutex_);
  using R = std::vector<std::optional<UpsertResult>>;
  return db_->transaction<R>([&]() -> StoreResult<R> {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    R results;
    for (const auto& item : items) {
      if (!item) {
        results.emplace_back();
        continue;
      }
      auto upserted = upsertLocked(*item);
      if (!upserted) return std::unexpected(upserted.error());
      results.push_back(std::move(*upserted));
    }
    return results;
  });
}

StoreResult<std::vector<ReplicaEntry>> ReplicaStore::completeListing(Inode parent,
                                                                     std::vector<Inode> listed) {
  base::MutexLock lock(mutex_);
  using R = std::vector<ReplicaEntry>;
  return db_->transaction<R>([&]() -> StoreResult<R> {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    std::sort(listed.begin(), listed.end());
    static const std::string sql = std::string("SELECT ") + kColumns +
                                   " FROM ReplicaItems WHERE parentInode = ? AND inode != 1";
    auto current = queryManyLocked(
        sql.c_str(), [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(parent)); });
    if (!current) return std::unexpected(current.error());
    R removedAll;
    for (const auto& child : *current) {
      if (std::binary_search(listed.begin(), listed.end(), child.inode)) continue;
      // Made here, and the extension does not know it yet.
      if (ReplicaStore::isHostMade(child.identifier)) continue;
      // Moved here locally, and the extension does not know yet.
      auto pending = pendingLocked(child.identifier);
      if (!pending) return std::unexpected(pending.error());
      if (*pending && (*pending)->kind == JournalEntry::Kind::rename) continue;
      if (auto rescued = rescueLocalEditsLocked(child.inode, parent); !rescued)
        return std::unexpected(rescued.error());
      if (child.hasLocalEdit()) continue;
      auto removed = removeLocked(child.inode);
      if (!removed) return std::unexpected(removed.error());
      for (auto& r : *removed) removedAll.push_back(std::move(r));
    }
    auto mark = db_->prepare("UPDATE ReplicaItems SET childrenListed = 1 WHERE inode = ?");
    if (!mark) return std::unexpected(mark.error());
    mark->bind(1, static_cast<std::int64_t>(parent));
    if (auto ran = mark->run(); !ran) return std::unexpected(ran.error());
    return removedAll;
  });
}

StoreResult<std::vector<ReplicaEntry>> ReplicaStore::removeLocked(Inode inode) {
  static const std::string sql =
      std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE parentInode = ? AND inode != 1";
  std::vector<ReplicaEntry> removed;
  std::vector<Inode> pending{inode};
  static const std::string self =
      std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE inode = ?";
  auto first = queryOneLocked(self.c_str(),
                              [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(inode)); });
  if (!first) return std::unexpected(first.error());
  if (!*first) return removed;
  removed.push_back(**first);
  while (!pending.empty()) {
    const Inode next = pending.back();
    pending.pop_back();
    auto kids = queryManyLocked(sql.c_str(),
                                [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(next)); });
    if (!kids) return std::unexpected(kids.error());
    for (auto& k : *kids) {
      pending.push_back(k.inode);
      removed.push_back(std::move(k));
    }
  }
  auto del = db_->prepare("DELETE FROM ReplicaItems WHERE inode = ? AND inode != 1");
  if (!del) return std::unexpected(del.error());
  for (const auto& r : removed) {
    del->reset();
    del->bind(1, static_cast<std::int64_t>(r.inode));
    if (auto ran = del->run(); !ran) return std::unexpected(ran.error());
  }
  if (inode == kRootInode) removed.erase(removed.begin());
  return removed;
}

StoreResult<std::vector<ReplicaEntry>> ReplicaStore::removeIdentifierLocked(
    const fp::ItemIdentifier& identifier) {
  auto id = db_->prepare("SELECT inode FROM ReplicaItems WHERE identifier = ?");
  if (!id) return std::unexpected(id.error());
  id->bind(1, identifier.rawValue());
  auto row = id->step();
  if (!row) return std::unexpected(row.error());
  if (!*row) return std::vector<ReplicaEntry>();
  const auto inode = static_cast<Inode>(id->int64(0));
  id->reset();
  return removeLocked(inode);
}

StoreResult<std::vector<ReplicaEntry>> ReplicaStore::remove(const fp::ItemIdentifier& identifier) {
  base::MutexLock lock(mutex_);
  return db_->transaction<std::vector<ReplicaEntry>>(
      [&]() -> StoreResult<std::vector<ReplicaEntry>> {
        mutex_.assertHeld();  // transaction() runs it here, under the lock
        static const std::string sql =
            std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE identifier = ?";
        auto item =
            queryOneLocked(sql.c_str(), [&](Statement& s) { s.bind(1, identifier.rawValue()); });
        if (!item) return std::unexpected(item.error());
        if (!*item) return std::vector<ReplicaEntry>();
        if ((*item)->inode != kRootInode) {
          if (auto rescued = rescueLocalEditsLocked((*item)->inode, (*item)->parentInode); !rescued)
            return std::unexpected(rescued.error());
          if ((*item)->hasLocalEdit()) return std::vector<ReplicaEntry>();
        }
        return removeLocked((*item)->inode);
      });
}

StoreResult<void> ReplicaStore::rescueLocalEditsLocked(Inode inode, Inode into) {
  static const std::string childrenSQL =
      std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE parentInode = ? AND inode != 1";
  static const std::string selfSQL =
      std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE inode = ?";
  auto self = queryOneLocked(selfSQL.c_str(),
                             [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(inode)); });
  if (!self) return std::unexpected(self.error());
  if (!*self) return {};
  std::vector<ReplicaEntry> edited;
  std::vector<ReplicaEntry> walk{**self};
  while (!walk.empty()) {
    auto next = std::move(walk.back());
    walk.pop_back();
    if (next.hasLocalEdit()) edited.push_back(next);
    if (!next.isFolder) continue;
    auto kids = queryManyLocked(childrenSQL.c_str(), [&](Statement& s) {
      s.bind(1, static_cast<std::int64_t>(next.inode));
    });
    if (!kids) return std::unexpected(kids.error());
    for (auto& k : *kids) walk.push_back(std::move(k));
  }
  for (const auto& e : edited) {
    // A free name in `into`: the item's own, else "name (local copy N).ext".
    std::string name = e.filename;
    const auto stem = std::filesystem::path(e.filename).stem().string();
    const auto extension = std::filesystem::path(e.filename).extension().string();
    for (int n = 1;; ++n) {
      auto taken = db_->prepare(
          "SELECT 1 FROM ReplicaItems WHERE parentInode = ? AND inode != ? AND filename = ?");
      if (!taken) return std::unexpected(taken.error());
      taken->bind(1, static_cast<std::int64_t>(into))
          .bind(2, static_cast<std::int64_t>(e.inode))
          .bind(3, name);
      auto row = taken->step();
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      name =
          stem + (n == 1 ? " (local copy)" : " (local copy " + std::to_string(n) + ")") + extension;
    }
    const fp::ItemIdentifier made = newHostIdentifier();
    // What was sent or waits about the old item becomes a new file's upload.
    auto journal = db_->prepare(
        "UPDATE ReplicaJournal SET identifier = ?, contentVersion = x'', metadataVersion = x'',"
        " parentIdentifier = (SELECT identifier FROM ReplicaItems WHERE inode = ?), filename = ?"
        " WHERE identifier = ? AND kind = 'writeContents'");
    if (!journal) return std::unexpected(journal.error());
    journal->bind(1, made.rawValue())
        .bind(2, static_cast<std::int64_t>(into))
        .bind(3, name)
        .bind(4, e.identifier.rawValue());
    if (auto ran = journal->run(); !ran) return std::unexpected(ran.error());
    auto move = db_->prepare(
        "UPDATE ReplicaItems SET identifier = ?, parentInode = ?, filename = ?,"
        " contentVersion = x'', metadataVersion = x'', localBaseVersion = x'', capabilities = ?"
        " WHERE inode = ?");
    if (!move) return std::unexpected(move.error());
    move->bind(1, made.rawValue())
        .bind(2, static_cast<std::int64_t>(into))
        .bind(3, name)
        .bind(4, static_cast<std::int64_t>(fp::rawValue(kLocalFileCapabilities)))
        .bind(5, static_cast<std::int64_t>(e.inode));
    if (auto ran = move->run(); !ran) return std::unexpected(ran.error());
  }
  return {};
}

StoreResult<std::int64_t> ReplicaStore::addJournalEntryLocked(const JournalEntry& entry) {
  auto s = db_->prepare(
      "INSERT INTO ReplicaJournal (kind, identifier, parentIdentifier, filename, isFolder,"
      " newParentIdentifier, newFilename, contentVersion, metadataVersion, options, time,"
      " contentPath) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
  if (!s) return std::unexpected(s.error());
  std::optional<std::string> newParent;
  if (entry.newParentIdentifier) newParent = entry.newParentIdentifier->rawValue();
  s->bind(1, journalKindName(entry.kind))
      .bind(2, entry.identifier.rawValue())
      .bind(3, entry.parentIdentifier.rawValue())
      .bind(4, entry.filename)
      .bind(5, entry.isFolder)
      .bind(6, newParent)
      .bind(7, entry.newFilename)
      .bindBlob(8, bytes(entry.baseVersion.contentVersion))
      .bindBlob(9, bytes(entry.baseVersion.metadataVersion))
      .bind(10, static_cast<std::int64_t>(entry.options))
      .bind(11, entry.time)
      .bind(12, entry.contentPath ? std::optional<std::string>(entry.contentPath->string())
                                  : std::nullopt);
  if (auto ran = s->run(); !ran) return std::unexpected(ran.error());
  auto id = db_->scalarInt("SELECT last_insert_rowid()");
  if (!id) return std::unexpected(id.error());
  return id->value_or(0);
}

StoreResult<std::int64_t> ReplicaStore::addJournalEntry(const JournalEntry& entry) {
  base::MutexLock lock(mutex_);
  return addJournalEntryLocked(entry);
}

StoreResult<std::optional<std::int64_t>> ReplicaStore::addJournalEntry(Inode inode,
                                                                       JournalEntry entry) {
  base::MutexLock lock(mutex_);
  static const std::string byInode =
      std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE inode = ?";
  auto now = queryOneLocked(byInode.c_str(),
                            [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(inode)); });
  if (!now) return std::unexpected(now.error());
  if (!*now) return std::optional<std::int64_t>();
  entry.identifier = (*now)->identifier;
  auto added = addJournalEntryLocked(entry);
  if (!added) return std::unexpected(added.error());
  return std::optional<std::int64_t>(*added);
}

StoreResult<ReplicaStore::Journalled> ReplicaStore::journalAndRemove(const JournalEntry& entry,
                                                                     Inode inode) {
  base::MutexLock lock(mutex_);
  return db_->transaction<Journalled>([&]() -> StoreResult<Journalled> {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    auto added = addJournalEntryLocked(entry);
    if (!added) return std::unexpected(added.error());
    auto removed = removeLocked(inode);
    if (!removed) return std::unexpected(removed.error());
    return Journalled{*added, std::move(*removed)};
  });
}

StoreResult<std::vector<JournalEntry>> ReplicaStore::journal() {
  base::MutexLock lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kJournalColumns + " FROM ReplicaJournal ORDER BY id";
  auto s = db_->prepare(sql);
  if (!s) return std::unexpected(s.error());
  std::vector<JournalEntry> out;
  while (true) {
    auto row = s->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    if (auto e = readJournalEntry(*s)) out.push_back(std::move(*e));
  }
  return out;
}

StoreResult<std::optional<JournalEntry>> ReplicaStore::pendingLocked(
    const fp::ItemIdentifier& identifier) {
  static const std::string sql =
      std::string("SELECT ") + kJournalColumns +
      " FROM ReplicaJournal WHERE identifier = ? AND kind != 'writeContents'"
      " ORDER BY id DESC";
  auto s = db_->prepare(sql);
  if (!s) return std::unexpected(s.error());
  s->bind(1, identifier.rawValue());
  while (true) {
    auto row = s->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) return std::optional<JournalEntry>();
    if (auto e = readJournalEntry(*s)) {
      s->reset();
      return std::optional<JournalEntry>(std::move(*e));
    }
  }
}

StoreResult<ReplicaStore::Settled> ReplicaStore::settleJournal(
    const std::vector<std::int64_t>& ids, const fp::Item* item,
    const std::optional<fp::ItemIdentifier>& removed) {
  base::MutexLock lock(mutex_);
  return db_->transaction<Settled>([&]() -> StoreResult<Settled> {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    auto del = db_->prepare("DELETE FROM ReplicaJournal WHERE id = ?");
    if (!del) return std::unexpected(del.error());
    for (const auto id : ids) {
      del->reset();
      del->bind(1, id);
      if (auto ran = del->run(); !ran) return std::unexpected(ran.error());
    }
    Settled settled;
    if (removed) {
      auto gone = removeIdentifierLocked(*removed);
      if (!gone) return std::unexpected(gone.error());
      settled.removed = std::move(*gone);
    }
    if (item) {
      auto upserted = upsertLocked(*item);
      if (!upserted) return std::unexpected(upserted.error());
      settled.upserted = std::move(*upserted);
    }
    return settled;
  });
}

StoreResult<void> ReplicaStore::setContentPresent(Inode inode, const fp::Data& contentVersion,
                                                  const std::filesystem::path& contentPath,
                                                  std::int64_t contentSize, std::int64_t access) {
  base::MutexLock lock(mutex_);
  auto s = db_->prepare(
      "UPDATE ReplicaItems SET contentPresent = 1, presentContentVersion = ?, contentPath = ?,"
      " contentSize = ?, lastAccess = ? WHERE inode = ?");
  if (!s) return std::unexpected(s.error());
  s->bindBlob(1, bytes(contentVersion))
      .bind(2, contentPath.string())
      .bind(3, contentSize)
      .bind(4, access)
      .bind(5, static_cast<std::int64_t>(inode));
  return s->run();
}

StoreResult<std::optional<std::filesystem::path>> ReplicaStore::clearContent(Inode inode) {
  base::MutexLock lock(mutex_);
  using R = std::optional<std::filesystem::path>;
  return db_->transaction<R>([&]() -> StoreResult<R> {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    auto q =
        db_->prepare("SELECT contentPath FROM ReplicaItems WHERE inode = ? AND contentPresent");
    if (!q) return std::unexpected(q.error());
    q->bind(1, static_cast<std::int64_t>(inode));
    auto row = q->step();
    if (!row) return std::unexpected(row.error());
    R path;
    if (*row && !q->isNull(0)) path = q->text(0);
    q->reset();
    auto s = db_->prepare(
        "UPDATE ReplicaItems SET contentPresent = 0, contentPath = NULL, contentSize = 0,"
        " presentContentVersion = NULL WHERE inode = ?");
    if (!s) return std::unexpected(s.error());
    s->bind(1, static_cast<std::int64_t>(inode));
    if (auto ran = s->run(); !ran) return std::unexpected(ran.error());
    return path;
  });
}

StoreResult<void> ReplicaStore::touch(Inode inode, std::int64_t access) {
  base::MutexLock lock(mutex_);
  auto s = db_->prepare("UPDATE ReplicaItems SET lastAccess = ? WHERE inode = ?");
  if (!s) return std::unexpected(s.error());
  s->bind(1, access).bind(2, static_cast<std::int64_t>(inode));
  return s->run();
}

StoreResult<std::vector<PresentContent>> ReplicaStore::presentContents() {
  base::MutexLock lock(mutex_);
  auto s = db_->prepare(
      "SELECT inode, contentSize, lastAccess, contentPath FROM ReplicaItems"
      " WHERE contentPresent = 1 ORDER BY lastAccess, inode");
  if (!s) return std::unexpected(s.error());
  std::vector<PresentContent> out;
  while (true) {
    auto row = s->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    out.push_back({static_cast<Inode>(s->int64(0)), s->int64(1), s->int64(2),
                   std::filesystem::path(s->text(3))});
  }
  return out;
}

StoreResult<std::int64_t> ReplicaStore::cacheUsage() {
  base::MutexLock lock(mutex_);
  auto v = db_->scalarInt(
      "SELECT COALESCE(SUM(contentSize), 0) FROM ReplicaItems WHERE contentPresent = 1");
  if (!v) return std::unexpected(v.error());
  return v->value_or(0);
}

StoreResult<std::optional<ReplicaEntry>> ReplicaStore::createLocalFile(
    Inode parent, const std::string& name, const fp::ItemIdentifier& identifier,
    const std::filesystem::path& localContentPath, std::int64_t modificationMilliseconds) {
  base::MutexLock lock(mutex_);
  using R = std::optional<ReplicaEntry>;
  return db_->transaction<R>([&]() -> StoreResult<R> {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    static const std::string byInode =
        std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE inode = ?";
    auto folder = queryOneLocked(
        byInode.c_str(), [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(parent)); });
    if (!folder) return std::unexpected(folder.error());
    if (!*folder || !(*folder)->isFolder) return R();
    auto s = db_->prepare(
        "INSERT INTO ReplicaItems (identifier, parentInode, filename, isFolder, size,"
        " creationDate, modificationDate, capabilities, localContentPath, localBaseVersion)"
        " VALUES (?, ?, ?, 0, 0, ?, ?, ?, ?, x'')");
    if (!s) return std::unexpected(s.error());
    s->bind(1, identifier.rawValue())
        .bind(2, static_cast<std::int64_t>(parent))
        .bind(3, name)
        .bind(4, modificationMilliseconds)
        .bind(5, modificationMilliseconds)
        .bind(6, static_cast<std::int64_t>(fp::rawValue(kLocalFileCapabilities)))
        .bind(7, localContentPath.string());
    if (auto ran = s->run(); !ran) return std::unexpected(ran.error());
    auto id = db_->scalarInt("SELECT last_insert_rowid()");
    if (!id) return std::unexpected(id.error());
    return queryOneLocked(byInode.c_str(), [&](Statement& q) { q.bind(1, id->value_or(0)); });
  });
}

StoreResult<void> ReplicaStore::beginLocalEdit(Inode inode,
                                               const std::filesystem::path& localContentPath) {
  base::MutexLock lock(mutex_);
  auto s = db_->prepare(
      "UPDATE ReplicaItems SET localContentPath = ?, localBaseVersion = contentVersion,"
      " localError = NULL WHERE inode = ? AND localContentPath IS NULL AND NOT isFolder");
  if (!s) return std::unexpected(s.error());
  s->bind(1, localContentPath.string()).bind(2, static_cast<std::int64_t>(inode));
  return s->run();
}

StoreResult<void> ReplicaStore::setLocalAttributes(
    Inode inode, std::int64_t size, std::optional<std::int64_t> modificationMilliseconds) {
  base::MutexLock lock(mutex_);
  auto s = db_->prepare(
      "UPDATE ReplicaItems SET size = ?, modificationDate = COALESCE(?, modificationDate)"
      " WHERE inode = ? AND localContentPath IS NOT NULL");
  if (!s) return std::unexpected(s.error());
  s->bind(1, size).bind(2, modificationMilliseconds).bind(3, static_cast<std::int64_t>(inode));
  return s->run();
}

StoreResult<void> ReplicaStore::setLocalError(Inode inode,
                                              const std::optional<std::string>& error) {
  base::MutexLock lock(mutex_);
  auto s = db_->prepare("UPDATE ReplicaItems SET localError = ? WHERE inode = ?");
  if (!s) return std::unexpected(s.error());
  s->bind(1, error).bind(2, static_cast<std::int64_t>(inode));
  return s->run();
}

StoreResult<ReplicaStore::Settled> ReplicaStore::settleContents(const JournalEntry& entry,
                                                                const fp::Item& item,
                                                                bool editEnded) {
  base::MutexLock lock(mutex_);
  return db_->transaction<Settled>([&]() -> StoreResult<Settled> {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    auto del = db_->prepare("DELETE FROM ReplicaJournal WHERE id = ?");
    if (!del) return std::unexpected(del.error());
    del->bind(1, entry.id);
    if (auto ran = del->run(); !ran) return std::unexpected(ran.error());
    Settled settled;
    if (isHostMade(entry.identifier)) {
      static const std::string byIdentifier =
          std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE identifier = ?";
      auto still = queryOneLocked(byIdentifier.c_str(),
                                  [&](Statement& s) { s.bind(1, entry.identifier.rawValue()); });
      if (!still) return std::unexpected(still.error());
      if (!*still) {
        settled.removedHere = true;
        return settled;
      }
    }
    const auto identifier = item.itemIdentifier();
    if (identifier != entry.identifier) {
      // A listing may have shown the new item already: it is this one.
      auto shown = removeIdentifierLocked(identifier);
      if (!shown) return std::unexpected(shown.error());
      settled.removed = std::move(*shown);
      for (const char* sql : {"UPDATE ReplicaItems SET identifier = ? WHERE identifier = ?",
                              "UPDATE ReplicaJournal SET identifier = ? WHERE identifier = ?"}) {
        auto s = db_->prepare(sql);
        if (!s) return std::unexpected(s.error());
        s->bind(1, identifier.rawValue()).bind(2, entry.identifier.rawValue());
        if (auto ran = s->run(); !ran) return std::unexpected(ran.error());
      }
    }
    auto upserted = upsertLocked(item);
    if (!upserted) return std::unexpected(upserted.error());
    if (!*upserted) return settled;
    settled.upserted = std::move(*upserted);
    const auto inode = static_cast<std::int64_t>(settled.upserted->inode);
    static const std::string byInode =
        std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE inode = ?";
    auto now = queryOneLocked(byInode.c_str(), [&](Statement& s) { s.bind(1, inode); });
    if (!now) return std::unexpected(now.error());
    if (!*now || !(*now)->hasLocalEdit()) return settled;
    const auto version = item.itemVersion().contentVersion;
    auto based = db_->prepare(
        "UPDATE ReplicaItems SET localBaseVersion = ?, localError = NULL WHERE inode = ?");
    if (!based) return std::unexpected(based.error());
    based->bindBlob(1, bytes(version)).bind(2, inode);
    if (auto ran = based->run(); !ran) return std::unexpected(ran.error());
    if (editEnded) {
      auto ended = endLocalEditLocked(**now);
      if (!ended) return std::unexpected(ended.error());
      settled.upserted->staleContentPath = *ended;
    }
    return settled;
  });
}

StoreResult<std::optional<std::filesystem::path>> ReplicaStore::endLocalEditLocked(
    const ReplicaEntry& e) {
  std::optional<std::filesystem::path> stale;
  if (e.contentPresent && e.contentPath != *e.localContentPath) stale = e.contentPath;
  auto s = db_->prepare(
      "UPDATE ReplicaItems SET contentPresent = 1, presentContentVersion = localBaseVersion,"
      " contentPath = localContentPath, contentSize = size, localContentPath = NULL,"
      " localBaseVersion = NULL, localError = NULL WHERE inode = ?");
  if (!s) return std::unexpected(s.error());
  s->bind(1, static_cast<std::int64_t>(e.inode));
  if (auto ran = s->run(); !ran) return std::unexpected(ran.error());
  return stale;
}

StoreResult<ReplicaStore::EndedEdit> ReplicaStore::endSentLocalEdit(Inode inode) {
  base::MutexLock lock(mutex_);
  return db_->transaction<EndedEdit>([&]() -> StoreResult<EndedEdit> {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    static const std::string byInode =
        std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE inode = ?";
    auto now = queryOneLocked(byInode.c_str(),
                              [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(inode)); });
    if (!now) return std::unexpected(now.error());
    EndedEdit out;
    const auto& e = *now;
    if (!e || !e->hasLocalEdit() || e->localError || e->localBaseVersion.empty()) return out;
    auto waiting = db_->prepare(
        "SELECT COUNT(*) FROM ReplicaJournal WHERE identifier = ? AND kind = 'writeContents'");
    if (!waiting) return std::unexpected(waiting.error());
    waiting->bind(1, e->identifier.rawValue());
    auto row = waiting->step();
    if (!row) return std::unexpected(row.error());
    if (*row && waiting->int64(0) > 0) return out;
    auto ended = endLocalEditLocked(*e);
    if (!ended) return std::unexpected(ended.error());
    out.staleContentPath = *ended;
    out.ended = true;
    return out;
  });
}

fp::ItemIdentifier ReplicaStore::newHostIdentifier() {
  return fp::ItemIdentifier(std::string(kLocalPrefix) + base::makeUuid());
}

bool ReplicaStore::isHostMade(const fp::ItemIdentifier& identifier) {
  return identifier.rawValue().starts_with(kLocalPrefix);
}

StoreResult<void> ReplicaStore::moveLocal(Inode inode, Inode newParent,
                                          const std::string& newName) {
  base::MutexLock lock(mutex_);
  auto s = db_->prepare("UPDATE ReplicaItems SET parentInode = ?, filename = ? WHERE inode = ?");
  if (!s) return std::unexpected(s.error());
  s->bind(1, static_cast<std::int64_t>(newParent))
      .bind(2, newName)
      .bind(3, static_cast<std::int64_t>(inode));
  return s->run();
}

StoreResult<std::vector<std::filesystem::path>> ReplicaStore::replaceWithLocalEdit(Inode target,
                                                                                   Inode source) {
  base::MutexLock lock(mutex_);
  using R = std::vector<std::filesystem::path>;
  return db_->transaction<R>([&]() -> StoreResult<R> {
    mutex_.assertHeld();  // transaction() runs it here, under the lock
    static const std::string byInode =
        std::string("SELECT ") + kColumns + " FROM ReplicaItems WHERE inode = ?";
    auto from = queryOneLocked(byInode.c_str(),
                               [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(source)); });
    auto to = queryOneLocked(byInode.c_str(),
                             [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(target)); });
    if (!from) return std::unexpected(from.error());
    if (!to) return std::unexpected(to.error());
    if (!*from || !*to || !(*from)->hasLocalEdit())
      return std::unexpected(
          DatabaseError{DatabaseError::Kind::invalidValue, 0, "no local edit to take", {}});
    // The kernel now has the target's name on the source's inode: the source's row becomes the
    // target item, and the target's row goes.
    const ReplicaEntry& t = **to;
    R unneeded;
    if (t.localContentPath) unneeded.push_back(*t.localContentPath);
    if (t.contentPresent) unneeded.push_back(t.contentPath);
    auto snapshots = db_->prepare(
        "SELECT contentPath FROM ReplicaJournal WHERE identifier = ? AND contentPath IS NOT NULL");
    if (!snapshots) return std::unexpected(snapshots.error());
    snapshots->bind(1, (*from)->identifier.rawValue());
    while (true) {
      auto row = snapshots->step();
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      unneeded.emplace_back(snapshots->text(0));
    }
    snapshots->reset();
    for (const auto& [sql, value] :
         {std::pair{"DELETE FROM ReplicaJournal WHERE identifier = ?",
                    (*from)->identifier.rawValue()},
          std::pair{"DELETE FROM ReplicaItems WHERE identifier = ?", t.identifier.rawValue()}}) {
      auto gone = db_->prepare(sql);
      if (!gone) return std::unexpected(gone.error());
      gone->bind(1, value);
      if (auto ran = gone->run(); !ran) return std::unexpected(ran.error());
    }
    std::optional<std::int64_t> flags;
    if (t.fileSystemFlags) flags = static_cast<std::int64_t>(fp::rawValue(*t.fileSystemFlags));
    auto take = db_->prepare(
        "UPDATE ReplicaItems SET identifier = ?, parentInode = ?, filename = ?, creationDate = ?,"
        " capabilities = ?, fileSystemFlags = ?, contentVersion = ?, metadataVersion = ?,"
        " userInfo = ?, decorations = ?, contentPresent = 0, presentContentVersion = NULL,"
        " contentPath = NULL, contentSize = 0, localBaseVersion = ?, localError = NULL"
        " WHERE inode = ?");
    if (!take) return std::unexpected(take.error());
    take->bind(1, t.identifier.rawValue())
        .bind(2, static_cast<std::int64_t>(t.parentInode))
        .bind(3, t.filename)
        .bind(4, t.creationMilliseconds)
        .bind(5, static_cast<std::int64_t>(fp::rawValue(t.capabilities)))
        .bind(6, flags)
        .bindBlob(7, bytes(t.version.contentVersion))
        .bindBlob(8, bytes(t.version.metadataVersion))
        .bind(9, t.userInfo.dump())
        .bind(10, decorationsText(t.decorations))
        .bindBlob(11, bytes(t.localContentPath ? t.localBaseVersion : t.version.contentVersion))
        .bind(12, static_cast<std::int64_t>(source));
    if (auto ran = take->run(); !ran) return std::unexpected(ran.error());
    return unneeded;
  });
}

StoreResult<std::vector<ReplicaEntry>> ReplicaStore::localEdits() {
  base::MutexLock lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kColumns +
                                 " FROM ReplicaItems WHERE localContentPath IS NOT NULL"
                                 " ORDER BY inode";
  return queryManyLocked(sql.c_str(), [](Statement&) {});
}

StoreResult<std::optional<std::string>> ReplicaStore::state(const std::string& key) {
  base::MutexLock lock(mutex_);
  auto s = db_->prepare("SELECT value FROM ReplicaState WHERE key = ?");
  if (!s) return std::unexpected(s.error());
  s->bind(1, key);
  auto row = s->step();
  if (!row) return std::unexpected(row.error());
  if (!*row) return std::optional<std::string>();
  return s->optionalText(0);
}

StoreResult<void> ReplicaStore::setState(const std::string& key,
                                         const std::optional<std::string>& value) {
  base::MutexLock lock(mutex_);
  if (!value) {
    auto s = db_->prepare("DELETE FROM ReplicaState WHERE key = ?");
    if (!s) return std::unexpected(s.error());
    s->bind(1, key);
    return s->run();
  }
  auto s = db_->prepare("INSERT OR REPLACE INTO ReplicaState (key, value) VALUES (?, ?)");
  if (!s) return std::unexpected(s.error());
  s->bind(1, key).bind(2, *value);
  return s->run();
}

}  // namespace tarnix::host
