#include "host/ReplicaStore.hpp"

#include <algorithm>
#include <span>

#include "common/DatabaseMigrator.hpp"

namespace tarnix::host {
namespace {

using common::Database;
using common::DatabaseError;
using common::Statement;

constexpr const char* kColumns =
    "inode, identifier, parentInode, filename, isFolder, size, creationDate, modificationDate, "
    "capabilities, fileSystemFlags, contentVersion, metadataVersion, userInfo, decorations, "
    "childrenListed, contentPresent, presentContentVersion, contentPath, contentSize, lastAccess";

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
  return m;
}

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
  return e;
}

constexpr const char* kJournalColumns =
    "id, kind, identifier, parentIdentifier, filename, isFolder, newParentIdentifier, newFilename,"
    " contentVersion, metadataVersion, options, time";

constexpr std::pair<JournalEntry::Kind, const char*> kJournalKinds[] = {
    {JournalEntry::Kind::createFolder, "createFolder"},
    {JournalEntry::Kind::rename, "rename"},
    {JournalEntry::Kind::removeFolder, "removeFolder"},
    {JournalEntry::Kind::removeFile, "removeFile"},
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
  result.inode = old.inode;
  result.attributesChanged =
      old.version != version || old.filename != filename || old.parentInode != parentInode ||
      old.size != item.documentSize().value_or(0) || old.capabilities != item.capabilities();
  if (old.parentInode != parentInode || old.filename != filename)
    result.previousPlacement = std::make_pair(old.parentInode, old.filename);
  bool dropContent = false;
  if (old.contentPresent && old.presentContentVersion != version.contentVersion) {
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
      .bind(4, item.documentSize().value_or(0))
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
      // Moved here locally, and the extension does not know yet.
      auto pending = pendingLocked(child.identifier);
      if (!pending) return std::unexpected(pending.error());
      if (*pending && (*pending)->kind == JournalEntry::Kind::rename) continue;
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
        return removeIdentifierLocked(identifier);
      });
}

StoreResult<std::int64_t> ReplicaStore::addJournalEntryLocked(const JournalEntry& entry) {
  auto s = db_->prepare(
      "INSERT INTO ReplicaJournal (kind, identifier, parentIdentifier, filename, isFolder,"
      " newParentIdentifier, newFilename, contentVersion, metadataVersion, options, time)"
      " VALUES (?,?,?,?,?,?,?,?,?,?,?)");
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
      .bind(11, entry.time);
  if (auto ran = s->run(); !ran) return std::unexpected(ran.error());
  auto id = db_->scalarInt("SELECT last_insert_rowid()");
  if (!id) return std::unexpected(id.error());
  return id->value_or(0);
}

StoreResult<std::int64_t> ReplicaStore::addJournalEntry(const JournalEntry& entry) {
  base::MutexLock lock(mutex_);
  return addJournalEntryLocked(entry);
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
  static const std::string sql = std::string("SELECT ") + kJournalColumns +
                                 " FROM ReplicaJournal WHERE identifier = ? ORDER BY id DESC";
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
