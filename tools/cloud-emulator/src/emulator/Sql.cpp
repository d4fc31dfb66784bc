#include "emulator/Sql.hpp"

#include <sqlite3.h>

namespace tarnix::emulator {

namespace {
[[noreturn]] void fail(sqlite3* db, std::string_view context) {
  throw SqlError{std::string(context) + ": " + sqlite3_errmsg(db)};
}
}  // namespace

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
      SQLITE_OK) {
    fail(db, sql);
  }
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::bind(int index, std::int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Statement& Statement::bind(int index, std::string_view value) {
  sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::bind(int index, const std::optional<std::string>& value) {
  return value ? bind(index, std::string_view(*value)) : bindNull(index);
}

Statement& Statement::bind(int index, std::optional<std::int64_t> value) {
  return value ? bind(index, *value) : bindNull(index);
}

Statement& Statement::bindNull(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

bool Statement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(db_, sqlite3_sql(stmt_));
}

void Statement::run() {
  while (step()) {
  }
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::int64_t Statement::integer(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

std::string Statement::text(int column) const {
  auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
           : std::string();
}

std::optional<std::string> Statement::optionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return text(column);
}

std::optional<std::int64_t> Statement::optionalInteger(int column) const {
  if (isNull(column)) return std::nullopt;
  return integer(column);
}

bool Statement::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Database::Database(const std::filesystem::path& file) {
  if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw SqlError{"opening " + file.string() + ": " + message};
  }
  execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
}

Database::~Database() {
  sqlite3_close(db_);
}

void Database::execute(std::string_view sql) {
  std::string text(sql);
  char* error = nullptr;
  if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw SqlError{text + ": " + message};
  }
}

std::int64_t Database::lastInsertId() const {
  return sqlite3_last_insert_rowid(db_);
}

int Database::changes() const {
  return sqlite3_changes(db_);
}

Transaction::Transaction(Database& db) : db_(db) {
  db_.execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!done_) {
    try {
      db_.execute("ROLLBACK");
    } catch (const SqlError&) {
    }
  }
}

void Transaction::commit() {
  db_.execute("COMMIT");
  done_ = true;
}

}  // namespace tarnix::emulator
