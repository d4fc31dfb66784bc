#pragma once
// A thin RAII layer over the SQLite C API: one connection, prepared statements, transactions.
// Not thread-safe: the owner uses a connection from one thread at a time.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tarnix::emulator {

/// A failed SQLite call; `what` holds SQLite's message and the statement.
struct SqlError {
  std::string what;
};

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);  // throws SqlError on a bad statement
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, std::string_view value);
  Statement& bind(int index, const std::string& value) {
    return bind(index, std::string_view(value));
  }
  Statement& bind(int index, const char* value) { return bind(index, std::string_view(value)); }
  Statement& bind(int index, const std::optional<std::string>& value);
  Statement& bind(int index, std::optional<std::int64_t> value);
  Statement& bindNull(int index);
  /// Steps once; true while a row is available. Throws SqlError on failure.
  bool step();
  /// Runs to completion (statements without rows).
  void run();
  void reset();

  std::int64_t integer(int column) const;
  std::string text(int column) const;
  std::optional<std::string> optionalText(int column) const;
  std::optional<std::int64_t> optionalInteger(int column) const;
  bool isNull(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class Database {
 public:
  /// Opens (creating if needed) the database file. Throws SqlError.
  explicit Database(const std::filesystem::path& file);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void execute(std::string_view sql);
  Statement prepare(std::string_view sql) { return Statement(db_, sql); }
  std::int64_t lastInsertId() const;
  int changes() const;

 private:
  sqlite3* db_ = nullptr;
};

/// Begins a transaction; rolls back unless `commit` is called.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  void commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace tarnix::emulator
