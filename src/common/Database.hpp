#pragma once
// A thin wrapper over SQLite: connections, prepared statements, transactions and errors.
//
// Nothing here throws; every failure is a DatabaseError naming the file. A Database is one
// connection and is not thread-safe: its owner (DatabaseQueue) gives it to one thread at a time.
// Prepared statements are cached per connection by their SQL text.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/Date.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace tarnix::common {

struct DatabaseError {
  enum class Kind {
    /// SQLite failed (open, prepare, step); `code` holds its extended result code.
    sqlite,
    /// The file is not a database or is damaged.
    corrupt,
    /// The schema cannot be brought up to date (for example written by a newer build).
    migration,
    /// A stored value has a form this build does not accept.
    invalidValue,
  };
  Kind kind = Kind::sqlite;
  int code = 0;
  std::string message;
  std::filesystem::path path;

  /// "<path>: <message>".
  std::string description() const;
};

template <class T>
using DatabaseResult = std::expected<T, DatabaseError>;

class Database;

/// A prepared statement, borrowed from its connection's cache. Bindings are 1-based, columns
/// 0-based. The statement is reset when the handle goes; it must not outlive the connection.
class Statement {
 public:
  /// `inUse` is the cache's flag for a cached statement (cleared when the handle goes); a null
  /// flag means the handle owns the statement and finalizes it.
  Statement(Database* database, sqlite3_stmt* statement, bool* inUse)
      : database_(database), stmt_(statement), inUse_(inUse) {}
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&&) = delete;
  Statement(const Statement&) = delete;

  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
  Statement& bind(int index, bool value) { return bind(index, std::int64_t{value ? 1 : 0}); }
  Statement& bind(int index, double value);
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const std::string& text) {
    return bind(index, std::string_view(text));
  }
  Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
  Statement& bindBlob(int index, std::span<const std::uint8_t> bytes);
  Statement& bindNull(int index);
  /// Dates are stored as ISO 8601 UTC text with milliseconds ("2024-03-01T12:34:56.789Z").
  Statement& bind(int index, base::Date date);
  template <class T>
  Statement& bind(int index, const std::optional<T>& value) {
    return value ? bind(index, *value) : bindNull(index);
  }

  /// Advances to the next row: true with a row, false when done.
  DatabaseResult<bool> step();
  /// Runs the statement to its end.
  DatabaseResult<void> run();
  /// Clears the bindings and rewinds so that the statement can run again.
  void reset();

  int columnCount() const;
  bool isNull(int column) const;
  std::int64_t int64(int column) const;
  bool boolean(int column) const { return int64(column) != 0; }
  std::string text(int column) const;
  std::optional<std::string> optionalText(int column) const;
  std::vector<std::uint8_t> blob(int column) const;
  std::optional<base::Date> date(int column) const;
  std::string columnName(int column) const;

 private:
  DatabaseError error() const;
  Database* database_;
  sqlite3_stmt* stmt_;
  bool* inUse_;
  int bindError_ = 0;
};

/// One SQLite connection.
class Database {
 public:
  enum class Mode { readWrite, readOnly };
  /// Opens the file (creating it in read-write mode; in read-only mode it must exist and writes
  /// are refused), in WAL mode with foreign keys on and a busy timeout, and checks that it is a
  /// database. Transactions of a read-only connection read one consistent snapshot.
  static DatabaseResult<std::unique_ptr<Database>> open(const std::filesystem::path& path,
                                                        Mode mode = Mode::readWrite);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::filesystem::path& path() const { return path_; }

  /// A cached prepared statement for `sql`, reset and unbound.
  DatabaseResult<Statement> prepare(std::string_view sql);
  /// Runs one or more statements without results.
  DatabaseResult<void> execute(std::string_view sql);
  /// The first column of the first row, if any.
  DatabaseResult<std::optional<std::int64_t>> scalarInt(std::string_view sql);
  /// Runs `body` in a transaction: committed when it succeeds, rolled back when it fails.
  /// Nested calls run inside the outer transaction (savepoints).
  template <class T>
  DatabaseResult<T> transaction(const std::function<DatabaseResult<T>()>& body);
  bool tableExists(std::string_view table);
  std::int64_t changes() const;

  /// An error for the last failure of this connection.
  DatabaseError lastError(int code) const;

 private:
  Database(sqlite3* handle, std::filesystem::path path) : handle_(handle), path_(std::move(path)) {}
  DatabaseResult<void> begin();
  DatabaseResult<void> commit();
  void rollback();

  friend class Statement;
  sqlite3* handle_;
  std::filesystem::path path_;
  struct CachedStatement {
    sqlite3_stmt* statement = nullptr;
    bool inUse = false;
  };
  std::unordered_map<std::string, std::unique_ptr<CachedStatement>> statements_;
  int transactionDepth_ = 0;
  bool readOnly_ = false;
};

template <class T>
DatabaseResult<T> Database::transaction(const std::function<DatabaseResult<T>()>& body) {
  if (auto started = begin(); !started) return std::unexpected(started.error());
  auto result = body();
  if (!result) {
    rollback();
    return result;
  }
  if (auto committed = commit(); !committed) {
    rollback();
    return std::unexpected(committed.error());
  }
  return result;
}

}  // namespace tarnix::common
