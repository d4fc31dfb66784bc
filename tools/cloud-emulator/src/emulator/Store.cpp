#include "emulator/Store.hpp"

#include <system_error>

namespace tarnix::emulator {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY, username TEXT UNIQUE NOT NULL,
  password TEXT NOT NULL, token TEXT UNIQUE NOT NULL, first_name TEXT NOT NULL,
  last_name TEXT NOT NULL, email TEXT NOT NULL, admin INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS nodes(id INTEGER PRIMARY KEY, parent_id INTEGER, name TEXT NOT NULL,
  is_folder INTEGER NOT NULL, owner_id INTEGER NOT NULL, created_ms INTEGER NOT NULL,
  modified_ms INTEGER NOT NULL, entry_id INTEGER, revision INTEGER NOT NULL DEFAULT 0,
  fixed INTEGER NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX IF NOT EXISTS nodes_by_name ON nodes(parent_id, name COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS versions(entry_id INTEGER PRIMARY KEY, node_id INTEGER NOT NULL,
  size INTEGER NOT NULL, checksum TEXT NOT NULL, blob TEXT NOT NULL, uploaded_ms INTEGER NOT NULL,
  modified_ms INTEGER NOT NULL, uploaded_by INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS versions_by_node ON versions(node_id);
CREATE TABLE IF NOT EXISTS permissions(user_id INTEGER NOT NULL, node_id INTEGER NOT NULL,
  level INTEGER NOT NULL, PRIMARY KEY(user_id, node_id));
CREATE TABLE IF NOT EXISTS locks(node_id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL,
  token TEXT NOT NULL, created_ms INTEGER NOT NULL, expires_ms INTEGER NOT NULL,
  collaboration TEXT);
CREATE TABLE IF NOT EXISTS upload_sessions(upload_id TEXT PRIMARY KEY, user_id INTEGER NOT NULL,
  path TEXT NOT NULL, total_size INTEGER NOT NULL, chunk_size INTEGER NOT NULL,
  created_ms INTEGER NOT NULL, updated_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS upload_chunks(upload_id TEXT NOT NULL, chunk_num INTEGER NOT NULL,
  size INTEGER NOT NULL, checksum TEXT NOT NULL, PRIMARY KEY(upload_id, chunk_num));
CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY AUTOINCREMENT, action TEXT NOT NULL,
  source_path TEXT, target_path TEXT, source_folder_id TEXT, target_folder_id TEXT,
  group_id TEXT, entry_id TEXT, checksum TEXT, size INTEGER, modified_ms INTEGER,
  user_id INTEGER NOT NULL, client_id TEXT, action_source TEXT NOT NULL,
  created_ms INTEGER NOT NULL);
)sql";

constexpr const char* kNodeColumns =
    "id, parent_id, name, is_folder, owner_id, created_ms, modified_ms, entry_id, revision, fixed";

Node readNode(const Statement& s, int c = 0) {
  Node n;
  n.id = s.integer(c);
  n.parentId = s.optionalInteger(c + 1);
  n.name = s.text(c + 2);
  n.isFolder = s.integer(c + 3) != 0;
  n.ownerId = s.integer(c + 4);
  n.createdMs = s.integer(c + 5);
  n.modifiedMs = s.integer(c + 6);
  n.entryId = s.optionalInteger(c + 7);
  n.revision = s.integer(c + 8);
  n.fixed = s.integer(c + 9) != 0;
  return n;
}

constexpr const char* kVersionColumns =
    "entry_id, node_id, size, checksum, blob, uploaded_ms, modified_ms, uploaded_by";

Version readVersion(const Statement& s, int c = 0) {
  return Version{s.integer(c),  s.integer(c + 1), s.integer(c + 2), s.text(c + 3),
                 s.text(c + 4), s.integer(c + 5), s.integer(c + 6), s.integer(c + 7)};
}

User readUser(const Statement& s) {
  return User{s.integer(0), s.text(1), s.text(2), s.text(3),
              s.text(4),    s.text(5), s.text(6), s.integer(7) != 0};
}

constexpr const char* kUserSelect =
    "SELECT id, username, password, token, first_name, last_name, email, admin FROM users ";

constexpr const char* kEventColumns =
    "id, action, source_path, target_path, source_folder_id, target_folder_id, group_id, "
    "entry_id, checksum, size, modified_ms, user_id, client_id, action_source, created_ms";

Event readEvent(const Statement& s) {
  Event e;
  e.id = s.integer(0);
  e.action = s.text(1);
  e.sourcePath = s.optionalText(2);
  e.targetPath = s.optionalText(3);
  e.sourceFolderId = s.optionalText(4);
  e.targetFolderId = s.optionalText(5);
  e.groupId = s.optionalText(6);
  e.entryId = s.optionalText(7);
  e.checksum = s.optionalText(8);
  e.size = s.optionalInteger(9);
  e.modifiedMs = s.optionalInteger(10);
  e.userId = s.integer(11);
  e.clientId = s.optionalText(12);
  e.actionSource = s.text(13);
  e.createdMs = s.integer(14);
  return e;
}

}  // namespace

Store::Store(const std::filesystem::path& dataDir) : dataDir_(dataDir) {
  std::filesystem::create_directories(dataDir_ / "content");
  std::filesystem::create_directories(dataDir_ / "uploads");
  std::filesystem::create_directories(dataDir_ / "tmp");
  db_ = std::make_unique<Database>(dataDir_ / "emulator.sqlite");
  createSchema();
}

Store::~Store() = default;

void Store::createSchema() {
  db_->execute(kSchema);
  auto count = db_->prepare("SELECT COUNT(*) FROM nodes");
  count.step();
  if (count.integer(0) == 0) {
    db_->prepare(
           "INSERT INTO nodes(id, parent_id, name, is_folder, owner_id, created_ms, modified_ms, "
           "fixed) VALUES (1, NULL, '', 1, 1, 0, 0, 1)")
        .run();
  }
}

std::filesystem::path Store::blobPath(const std::string& blob) const {
  return dataDir_ / "content" / blob;
}

std::filesystem::path Store::chunkPath(const std::string& uploadId, std::int64_t number) const {
  return dataDir_ / "uploads" / (uploadId + "." + std::to_string(number));
}

std::filesystem::path Store::tempDir() const {
  return dataDir_ / "tmp";
}

std::optional<std::string> Store::meta(const std::string& key) {
  auto s = db_->prepare("SELECT value FROM meta WHERE key = ?");
  s.bind(1, key);
  if (!s.step()) return std::nullopt;
  return s.text(0);
}

void Store::setMeta(const std::string& key, const std::string& value) {
  db_->prepare("INSERT OR REPLACE INTO meta(key, value) VALUES (?, ?)")
      .bind(1, key)
      .bind(2, value)
      .run();
}

std::int64_t Store::addUser(const User& u) {
  db_->prepare(
         "INSERT INTO users(username, password, token, first_name, last_name, email, admin) "
         "VALUES (?, ?, ?, ?, ?, ?, ?)")
      .bind(1, u.username)
      .bind(2, u.password)
      .bind(3, u.token)
      .bind(4, u.firstName)
      .bind(5, u.lastName)
      .bind(6, u.email)
      .bind(7, std::int64_t{u.admin ? 1 : 0})
      .run();
  return db_->lastInsertId();
}

std::optional<User> Store::userById(std::int64_t id) {
  auto s = db_->prepare(std::string(kUserSelect) + "WHERE id = ?");
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return readUser(s);
}

std::optional<User> Store::userByToken(const std::string& token) {
  auto s = db_->prepare(std::string(kUserSelect) + "WHERE token = ?");
  s.bind(1, token);
  if (!s.step()) return std::nullopt;
  return readUser(s);
}

std::optional<User> Store::userByName(const std::string& username) {
  auto s = db_->prepare(std::string(kUserSelect) + "WHERE username = ?");
  s.bind(1, username);
  if (!s.step()) return std::nullopt;
  return readUser(s);
}

std::optional<Node> Store::node(std::int64_t id) {
  auto s = db_->prepare(std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE id = ?");
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return readNode(s);
}

std::optional<Node> Store::child(std::int64_t parentId, const std::string& name) {
  auto s = db_->prepare(std::string("SELECT ") + kNodeColumns +
                        " FROM nodes WHERE parent_id = ? AND name = ? COLLATE NOCASE");
  s.bind(1, parentId).bind(2, name);
  if (!s.step()) return std::nullopt;
  return readNode(s);
}

bool Store::hasChildren(std::int64_t folderId) {
  auto s = db_->prepare("SELECT 1 FROM nodes WHERE parent_id = ? LIMIT 1");
  s.bind(1, folderId);
  return s.step();
}

std::vector<Child> Store::children(std::int64_t folderId, std::int64_t nowMs) {
  auto s = db_->prepare(
      std::string("SELECT n.id, n.parent_id, n.name, n.is_folder, n.owner_id, n.created_ms, "
                  "n.modified_ms, n.entry_id, n.revision, n.fixed, ") +
      "v.entry_id, v.node_id, v.size, v.checksum, v.blob, v.uploaded_ms, v.modified_ms, "
      "v.uploaded_by, l.user_id, l.token, l.created_ms, l.expires_ms, l.collaboration "
      "FROM nodes n LEFT JOIN versions v ON v.entry_id = n.entry_id "
      "LEFT JOIN locks l ON l.node_id = n.id AND l.expires_ms > ? "
      "WHERE n.parent_id = ? ORDER BY n.is_folder DESC, n.name COLLATE NOCASE");
  s.bind(1, nowMs).bind(2, folderId);
  std::vector<Child> result;
  while (s.step()) {
    Child c{readNode(s), std::nullopt, std::nullopt};
    if (!s.isNull(10)) c.version = readVersion(s, 10);
    if (!s.isNull(18)) {
      c.lock = Lock{c.node.id,     s.integer(18), s.text(19),
                    s.integer(20), s.integer(21), s.optionalText(22)};
    }
    result.push_back(std::move(c));
  }
  return result;
}

std::optional<Node> Store::resolve(const std::string& path) {
  auto current = node(kRootId);
  std::size_t start = 0;
  while (current && start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    if (!current->isFolder) return std::nullopt;
    current = child(current->id, part);
  }
  return current;
}

std::string Store::pathOf(std::int64_t id) {
  std::string path;
  auto current = node(id);
  while (current && current->parentId) {
    path = "/" + current->name + path;
    current = node(*current->parentId);
  }
  return path.empty() ? "/" : path;
}

std::int64_t Store::insertNode(const Node& n) {
  db_->prepare(
         "INSERT INTO nodes(parent_id, name, is_folder, owner_id, created_ms, modified_ms, "
         "entry_id, revision, fixed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")
      .bind(1, *n.parentId)
      .bind(2, n.name)
      .bind(3, std::int64_t{n.isFolder ? 1 : 0})
      .bind(4, n.ownerId)
      .bind(5, n.createdMs)
      .bind(6, n.modifiedMs)
      .bindNull(7)
      .bind(8, n.revision)
      .bind(9, std::int64_t{n.fixed ? 1 : 0})
      .run();
  return db_->lastInsertId();
}

void Store::moveNode(std::int64_t id, std::int64_t newParentId, const std::string& newName) {
  db_->prepare("UPDATE nodes SET parent_id = ?, name = ? WHERE id = ?")
      .bind(1, newParentId)
      .bind(2, newName)
      .bind(3, id)
      .run();
}

void Store::deleteNode(std::int64_t id) {
  const char* subtree =
      "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL SELECT n.id FROM nodes n JOIN sub ON "
      "n.parent_id = sub.id) ";
  for (const char* table : {"locks", "permissions"}) {
    db_->prepare(std::string(subtree) + "DELETE FROM " + table + " WHERE node_id IN sub")
        .bind(1, id)
        .run();
  }
  db_->prepare(std::string(subtree) + "DELETE FROM nodes WHERE id IN sub").bind(1, id).run();
}

void Store::touchFolder(std::int64_t folderId, std::int64_t nowMs) {
  db_->prepare("UPDATE nodes SET revision = revision + 1, modified_ms = ? WHERE id = ?")
      .bind(1, nowMs)
      .bind(2, folderId)
      .run();
}

bool Store::isAncestor(std::int64_t ancestorId, std::int64_t id) {
  for (auto n = node(id); n; n = n->parentId ? node(*n->parentId) : std::nullopt) {
    if (n->id == ancestorId) return true;
  }
  return false;
}

std::optional<Version> Store::version(std::int64_t entryId) {
  auto s =
      db_->prepare(std::string("SELECT ") + kVersionColumns + " FROM versions WHERE entry_id = ?");
  s.bind(1, entryId);
  if (!s.step()) return std::nullopt;
  return readVersion(s);
}

std::vector<Version> Store::versionsOf(std::int64_t nodeId) {
  auto s = db_->prepare(std::string("SELECT ") + kVersionColumns +
                        " FROM versions WHERE node_id = ? ORDER BY entry_id DESC");
  s.bind(1, nodeId);
  std::vector<Version> result;
  while (s.step()) result.push_back(readVersion(s));
  return result;
}

std::int64_t Store::addVersion(Version v) {
  // Entry ids live in their own range so that a client mixing them up with node ids is caught.
  auto next = db_->prepare("SELECT COALESCE(MAX(entry_id), 700000) + 1 FROM versions");
  next.step();
  v.entryId = next.integer(0);
  if (v.blob.empty()) v.blob = std::to_string(v.entryId);
  db_->prepare(std::string("INSERT INTO versions(") + kVersionColumns +
               ") VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
      .bind(1, v.entryId)
      .bind(2, v.nodeId)
      .bind(3, v.size)
      .bind(4, v.checksum)
      .bind(5, v.blob)
      .bind(6, v.uploadedMs)
      .bind(7, v.modifiedMs)
      .bind(8, v.uploadedBy)
      .run();
  db_->prepare("UPDATE nodes SET entry_id = ?, modified_ms = ? WHERE id = ?")
      .bind(1, v.entryId)
      .bind(2, v.modifiedMs)
      .bind(3, v.nodeId)
      .run();
  return v.entryId;
}

Permission Store::permission(std::int64_t userId, std::int64_t nodeId) {
  auto s = db_->prepare("SELECT level FROM permissions WHERE user_id = ? AND node_id = ?");
  for (auto n = node(nodeId); n; n = n->parentId ? node(*n->parentId) : std::nullopt) {
    s.reset();
    s.bind(1, userId).bind(2, n->id);
    if (s.step()) return static_cast<Permission>(s.integer(0));
  }
  return Permission::owner;
}

void Store::setPermission(std::int64_t userId, std::int64_t nodeId, Permission level) {
  db_->prepare("INSERT OR REPLACE INTO permissions(user_id, node_id, level) VALUES (?, ?, ?)")
      .bind(1, userId)
      .bind(2, nodeId)
      .bind(3, static_cast<std::int64_t>(level))
      .run();
}

std::optional<Lock> Store::lock(std::int64_t nodeId, std::int64_t nowMs) {
  auto s = db_->prepare(
      "SELECT user_id, token, created_ms, expires_ms, collaboration FROM locks "
      "WHERE node_id = ? AND expires_ms > ?");
  s.bind(1, nodeId).bind(2, nowMs);
  if (!s.step()) return std::nullopt;
  return Lock{nodeId, s.integer(0), s.text(1), s.integer(2), s.integer(3), s.optionalText(4)};
}

void Store::putLock(const Lock& l) {
  db_->prepare(
         "INSERT OR REPLACE INTO locks(node_id, user_id, token, created_ms, expires_ms, "
         "collaboration) VALUES (?, ?, ?, ?, ?, ?)")
      .bind(1, l.nodeId)
      .bind(2, l.userId)
      .bind(3, l.token)
      .bind(4, l.createdMs)
      .bind(5, l.expiresMs)
      .bind(6, l.collaboration)
      .run();
}

void Store::removeLock(std::int64_t nodeId) {
  db_->prepare("DELETE FROM locks WHERE node_id = ?").bind(1, nodeId).run();
}

std::int64_t Store::appendEvent(const Event& e) {
  db_->prepare(
         "INSERT INTO events(action, source_path, target_path, source_folder_id, "
         "target_folder_id, group_id, entry_id, checksum, size, modified_ms, user_id, client_id, "
         "action_source, created_ms) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
      .bind(1, e.action)
      .bind(2, e.sourcePath)
      .bind(3, e.targetPath)
      .bind(4, e.sourceFolderId)
      .bind(5, e.targetFolderId)
      .bind(6, e.groupId)
      .bind(7, e.entryId)
      .bind(8, e.checksum)
      .bind(9, e.size)
      .bind(10, e.modifiedMs)
      .bind(11, e.userId)
      .bind(12, e.clientId)
      .bind(13, e.actionSource)
      .bind(14, e.createdMs)
      .run();
  return db_->lastInsertId();
}

std::vector<Event> Store::eventsAfter(std::int64_t id, std::int64_t limit) {
  auto s = db_->prepare(std::string("SELECT ") + kEventColumns +
                        " FROM events WHERE id > ? ORDER BY id LIMIT ?");
  s.bind(1, id).bind(2, limit);
  std::vector<Event> result;
  while (s.step()) result.push_back(readEvent(s));
  return result;
}

std::vector<Event> Store::eventsBetween(std::int64_t minId, std::int64_t maxIdExclusive,
                                        std::int64_t limit) {
  auto s = db_->prepare(std::string("SELECT ") + kEventColumns +
                        " FROM events WHERE id >= ? AND id < ? ORDER BY id LIMIT ?");
  s.bind(1, minId).bind(2, maxIdExclusive).bind(3, limit);
  std::vector<Event> result;
  while (s.step()) result.push_back(readEvent(s));
  return result;
}

std::int64_t Store::lastEventId() {
  auto s = db_->prepare("SELECT COALESCE(MAX(id), 0) FROM events");
  s.step();
  return s.integer(0);
}

void Store::putSession(const UploadSession& u) {
  db_->prepare(
         "INSERT OR REPLACE INTO upload_sessions(upload_id, user_id, path, total_size, "
         "chunk_size, created_ms, updated_ms) VALUES (?, ?, ?, ?, ?, ?, ?)")
      .bind(1, u.uploadId)
      .bind(2, u.userId)
      .bind(3, u.path)
      .bind(4, u.totalSize)
      .bind(5, u.chunkSize)
      .bind(6, u.createdMs)
      .bind(7, u.updatedMs)
      .run();
}

namespace {
constexpr const char* kSessionSelect =
    "SELECT upload_id, user_id, path, total_size, chunk_size, created_ms, updated_ms "
    "FROM upload_sessions ";
UploadSession readSession(const Statement& s) {
  return UploadSession{s.text(0),    s.integer(1), s.text(2),   s.integer(3),
                       s.integer(4), s.integer(5), s.integer(6)};
}
}  // namespace

std::optional<UploadSession> Store::session(const std::string& uploadId) {
  auto s = db_->prepare(std::string(kSessionSelect) + "WHERE upload_id = ?");
  s.bind(1, uploadId);
  if (!s.step()) return std::nullopt;
  return readSession(s);
}

std::int64_t Store::usedBytes() {
  auto s = db_->prepare(
      "SELECT COALESCE(SUM(v.size), 0) FROM nodes n JOIN versions v ON v.entry_id = n.entry_id");
  return s.step() ? s.integer(0) : 0;
}

std::optional<UploadSession> Store::sessionForPath(const std::string& path) {
  auto s = db_->prepare(std::string(kSessionSelect) +
                        "WHERE path = ? COLLATE NOCASE ORDER BY updated_ms DESC LIMIT 1");
  s.bind(1, path);
  if (!s.step()) return std::nullopt;
  return readSession(s);
}

void Store::deleteSession(const std::string& uploadId) {
  for (const auto& c : chunks(uploadId)) {
    std::error_code ec;
    std::filesystem::remove(chunkPath(uploadId, c.number), ec);
  }
  db_->prepare("DELETE FROM upload_chunks WHERE upload_id = ?").bind(1, uploadId).run();
  db_->prepare("DELETE FROM upload_sessions WHERE upload_id = ?").bind(1, uploadId).run();
}

void Store::putChunk(const std::string& uploadId, const UploadedChunk& c) {
  db_->prepare(
         "INSERT OR REPLACE INTO upload_chunks(upload_id, chunk_num, size, checksum) "
         "VALUES (?, ?, ?, ?)")
      .bind(1, uploadId)
      .bind(2, c.number)
      .bind(3, c.size)
      .bind(4, c.checksum)
      .run();
}

std::vector<UploadedChunk> Store::chunks(const std::string& uploadId) {
  auto s = db_->prepare(
      "SELECT chunk_num, size, checksum FROM upload_chunks WHERE upload_id = ? "
      "ORDER BY chunk_num");
  s.bind(1, uploadId);
  std::vector<UploadedChunk> result;
  while (s.step()) result.push_back({s.integer(0), s.integer(1), s.text(2)});
  return result;
}

}  // namespace tarnix::emulator
