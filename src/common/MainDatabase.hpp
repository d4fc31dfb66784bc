#pragma once
// The product's main SQLite database ("Main.db" in the internal data directory), shared by the
// desktop application and every extension process. Its tables are created here as the desktop
// application creates them, when missing.
//
// Thread-safe: every statement runs on the writer queue "com.tarnix.MainDatabase"; a call made
// from a block already on that queue (inside `transaction`) runs at once.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"

namespace tarnix::common {

struct SQLBlob {
  std::string bytes;
  bool operator==(const SQLBlob&) const = default;
};
using SQLValue = std::variant<std::nullptr_t, std::int64_t, double, std::string, SQLBlob>;
using SQLRow = std::vector<SQLValue>;

struct MainDatabaseError {
  int code = 0;  // the SQLite result code
  std::string message;
};

/// Typed reads of a row's columns; a NULL or a value of another type gives none.
std::optional<std::string> sqlText(const SQLValue& value);
std::optional<std::int64_t> sqlInteger(const SQLValue& value);
std::optional<std::string> sqlBlob(const SQLValue& value);

class MainDatabase {
 public:
  /// Opens (creating) the database at `path` and creates the tables that are missing.
  static std::expected<std::shared_ptr<MainDatabase>, MainDatabaseError> open(
      const std::filesystem::path& path, base::Logger logger);
  ~MainDatabase();
  MainDatabase(const MainDatabase&) = delete;
  MainDatabase& operator=(const MainDatabase&) = delete;

  /// Runs one statement; returns the number of rows it changed.
  std::expected<std::int64_t, MainDatabaseError> execute(
      std::string_view sql, const std::vector<SQLValue>& bindings = {});
  /// Runs one query; returns every row.
  std::expected<std::vector<SQLRow>, MainDatabaseError> query(
      std::string_view sql, const std::vector<SQLValue>& bindings = {});
  /// Runs `body` in one transaction on the writer queue: committed when it succeeds, rolled
  /// back when it fails.
  std::expected<void, MainDatabaseError> transaction(
      const std::function<std::expected<void, MainDatabaseError>()>& body);

  struct Connection;

 private:
  MainDatabase(std::unique_ptr<Connection> connection, base::Logger logger);
  template <class F>
  auto onQueue(F&& body);

  std::unique_ptr<Connection> connection_;
  base::Logger logger_;
  base::DispatchQueue dbQueue_{"com.tarnix.MainDatabase"};
};

}  // namespace tarnix::common
