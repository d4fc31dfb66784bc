#include "common/Database.hpp"

#include <sqlite3.h>

#include <utility>

#include "base/PrivateFiles.hpp"

namespace tarnix::common {

std::string DatabaseError::description() const {
  return path.empty() ? message : path.string() + ": " + message;
}

namespace {
DatabaseError::Kind kindFor(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT ? DatabaseError::Kind::corrupt
                                                               : DatabaseError::Kind::sqlite;
}
}  // namespace

// MARK: Statement

Statement::~Statement() {
  if (!stmt_) return;
  if (inUse_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    *inUse_ = false;
  } else {
    sqlite3_finalize(stmt_);
  }
}

Statement::Statement(Statement&& other) noexcept
    : database_(other.database_),
      stmt_(std::exchange(other.stmt_, nullptr)),
      inUse_(other.inUse_),
      bindError_(other.bindError_) {}

Statement& Statement::bind(int index, std::int64_t value) {
  if (int rc = sqlite3_bind_int64(stmt_, index, value); rc != SQLITE_OK) bindError_ = rc;
  return *this;
}

Statement& Statement::bind(int index, double value) {
  if (int rc = sqlite3_bind_double(stmt_, index, value); rc != SQLITE_OK) bindError_ = rc;
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  const int rc =
      sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) bindError_ = rc;
  return *this;
}

Statement& Statement::bindBlob(int index, std::span<const std::uint8_t> bytes) {
  // An empty blob is still a blob, not NULL.
  static const std::uint8_t kEmpty = 0;
  const void* data = bytes.empty() ? &kEmpty : bytes.data();
  if (int rc = sqlite3_bind_blob64(stmt_, index, data, bytes.size(), SQLITE_TRANSIENT);
      rc != SQLITE_OK) {
    bindError_ = rc;
  }
  return *this;
}

Statement& Statement::bindNull(int index) {
  if (int rc = sqlite3_bind_null(stmt_, index); rc != SQLITE_OK) bindError_ = rc;
  return *this;
}

Statement& Statement::bind(int index, base::Date date) {
  return bind(index, std::string_view(base::formatISO8601(date)));
}

DatabaseError Statement::error() const {
  return database_->lastError(sqlite3_extended_errcode(database_->handle_));
}

DatabaseResult<bool> Statement::step() {
  if (bindError_ != SQLITE_OK) {
    DatabaseError e = database_->lastError(bindError_);
    e.message = "binding a value failed: " + std::string(sqlite3_errstr(bindError_));
    return std::unexpected(e);
  }
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  auto e = database_->lastError(rc);
  e.message += " (in \"" + std::string(sqlite3_sql(stmt_)) + "\")";
  return std::unexpected(e);
}

DatabaseResult<void> Statement::run() {
  while (true) {
    auto row = step();
    if (!row) return std::unexpected(row.error());
    if (!*row) return {};
  }
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  bindError_ = 0;
}

int Statement::columnCount() const {
  return sqlite3_column_count(stmt_);
}
bool Statement::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}
std::int64_t Statement::int64(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

std::string Statement::text(int column) const {
  const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  if (!data) return {};
  return std::string(data, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::optional<std::string> Statement::optionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return text(column);
}

std::vector<std::uint8_t> Statement::blob(int column) const {
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  if (!data || size <= 0) return {};
  return {data, data + size};
}

std::optional<base::Date> Statement::date(int column) const {
  if (isNull(column)) return std::nullopt;
  return base::parseISO8601(text(column));
}

std::string Statement::columnName(int column) const {
  const char* name = sqlite3_column_name(stmt_, column);
  return name ? name : "";
}

// MARK: Database

DatabaseResult<std::unique_ptr<Database>> Database::open(const std::filesystem::path& path,
                                                         Mode mode) {
  sqlite3* handle = nullptr;
  // Readers open the file read-write (WAL readers need the shared-memory file) but refuse
  // writes with query_only.
  const int flags = (mode == Mode::readOnly ? SQLITE_OPEN_READWRITE
                                            : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX;
  // SQLite makes the journal, WAL and shared-memory files with the mode of the database file,
  // and the database file itself with the umask's: made private here, all of them are.
  // When it cannot be made, opening fails the same way below and SQLite says why.
  if (mode == Mode::readWrite) base::ensurePrivateFile(path);
  const int rc = sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
  if (rc != SQLITE_OK) {
    DatabaseError e{kindFor(rc), rc,
                    "opening the database failed: " +
                        std::string(handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc)),
                    path};
    sqlite3_close_v2(handle);
    return std::unexpected(e);
  }
  sqlite3_extended_result_codes(handle, 1);
  sqlite3_busy_timeout(handle, 10000);
  std::unique_ptr<Database> db(new Database(handle, path));
  db->readOnly_ = mode == Mode::readOnly;
  // Reading the schema is the first access to the file: a damaged file fails here.
  auto check = db->execute("SELECT count(*) FROM sqlite_master");
  if (!check) {
    auto e = check.error();
    if (e.kind == DatabaseError::Kind::corrupt) {
      e.message = "the file is not a database or is damaged (" + e.message + ")";
    }
    return std::unexpected(e);
  }
  if (mode == Mode::readWrite) {
    if (auto wal = db->execute("PRAGMA journal_mode = WAL"); !wal) {
      return std::unexpected(wal.error());
    }
    // With WAL, NORMAL keeps the database consistent after a crash and loses at most the last
    // transactions after a power failure.
    if (auto sync = db->execute("PRAGMA synchronous = NORMAL"); !sync) {
      return std::unexpected(sync.error());
    }
  }
  if (auto fk = db->execute("PRAGMA foreign_keys = ON"); !fk) return std::unexpected(fk.error());
  if (mode == Mode::readOnly) {
    if (auto only = db->execute("PRAGMA query_only = ON"); !only) {
      return std::unexpected(only.error());
    }
  }
  return db;
}

Database::~Database() {
  for (auto& [sql, cached] : statements_) sqlite3_finalize(cached->statement);
  sqlite3_close_v2(handle_);
}

DatabaseError Database::lastError(int code) const {
  return DatabaseError{kindFor(code), code, sqlite3_errmsg(handle_), path_};
}

DatabaseResult<Statement> Database::prepare(std::string_view sql) {
  auto found = statements_.find(std::string(sql));
  if (found != statements_.end() && !found->second->inUse) {
    found->second->inUse = true;
    return Statement(this, found->second->statement, &found->second->inUse);
  }
  sqlite3_stmt* statement = nullptr;
  const int rc = sqlite3_prepare_v3(handle_, sql.data(), static_cast<int>(sql.size()),
                                    found == statements_.end() ? SQLITE_PREPARE_PERSISTENT : 0,
                                    &statement, nullptr);
  if (rc != SQLITE_OK) {
    auto e = lastError(rc);
    e.message += " (preparing \"" + std::string(sql) + "\")";
    sqlite3_finalize(statement);
    return std::unexpected(e);
  }
  if (found != statements_.end()) {
    // The cached one is busy (a nested use of the same query): a private copy.
    return Statement(this, statement, nullptr);
  }
  auto cached = std::make_unique<CachedStatement>();
  cached->statement = statement;
  cached->inUse = true;
  bool* flag = &cached->inUse;
  statements_.emplace(std::string(sql), std::move(cached));
  return Statement(this, statement, flag);
}

DatabaseResult<void> Database::execute(std::string_view sql) {
  char* message = nullptr;
  const std::string text(sql);
  const int rc = sqlite3_exec(handle_, text.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    auto e = lastError(rc);
    if (message) e.message = message;
    sqlite3_free(message);
    e.message += " (in \"" + text.substr(0, 200) + "\")";
    return std::unexpected(e);
  }
  return {};
}

DatabaseResult<std::optional<std::int64_t>> Database::scalarInt(std::string_view sql) {
  auto statement = prepare(sql);
  if (!statement) return std::unexpected(statement.error());
  auto row = statement->step();
  if (!row) return std::unexpected(row.error());
  if (!*row || statement->isNull(0)) return std::optional<std::int64_t>{};
  return std::optional<std::int64_t>{statement->int64(0)};
}

bool Database::tableExists(std::string_view table) {
  auto statement = prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  if (!statement) return false;
  statement->bind(1, table);
  auto row = statement->step();
  return row && *row;
}

std::int64_t Database::changes() const {
  return sqlite3_changes64(handle_);
}

DatabaseResult<void> Database::begin() {
  auto result = transactionDepth_ == 0 ? execute(readOnly_ ? "BEGIN DEFERRED" : "BEGIN IMMEDIATE")
                                       : execute("SAVEPOINT s" + std::to_string(transactionDepth_));
  if (result) ++transactionDepth_;
  return result;
}

DatabaseResult<void> Database::commit() {
  --transactionDepth_;
  auto result = transactionDepth_ == 0 ? execute("COMMIT")
                                       : execute("RELEASE s" + std::to_string(transactionDepth_));
  if (!result) ++transactionDepth_;
  return result;
}

void Database::rollback() {
  if (transactionDepth_ == 0) return;
  --transactionDepth_;
  if (transactionDepth_ == 0) {
    (void)execute("ROLLBACK");
  } else {
    const auto name = "s" + std::to_string(transactionDepth_);
    (void)execute("ROLLBACK TO " + name + "; RELEASE " + name);
  }
}

}  // namespace tarnix::common
