#include "common/MainDatabase.hpp"

#include <sqlite3.h>

#include "base/PrivateFiles.hpp"

namespace tarnix::common {
namespace {

constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS Accounts ("
    "accountIdentifier TEXT NOT NULL PRIMARY KEY, "
    "domain TEXT NOT NULL, "
    "userName TEXT NOT NULL, "
    "email TEXT NOT NULL, "
    "workgroupIdentifier TEXT NOT NULL, "
    "userIdentifier INTEGER NOT NULL, "
    "cloudConfigurationTimestamp TEXT NOT NULL, "
    "authenticationTimestamp TEXT NOT NULL, "
    "requiresReauthentication BOOLEAN NOT NULL DEFAULT 0, "
    "userType TEXT NOT NULL DEFAULT power, "
    "brandedDomain TEXT NULL, "
    "isLoginDomainBranded BOOLEAN NOT NULL DEFAULT 0, "
    "userFirstName TEXT NULL, "
    "userLastName TEXT NULL, "
    "cacheVolumeUUID TEXT NULL, "
    "cacheVolumeName TEXT NULL, "
    "cacheVolumePath TEXT NULL)",
    "CREATE TABLE IF NOT EXISTS Drives ("
    "driveIdentifier TEXT NOT NULL PRIMARY KEY, "
    "accountIdentifier TEXT NOT NULL REFERENCES Accounts(accountIdentifier), "
    "label TEXT NOT NULL, "
    "cloudStartPath TEXT NOT NULL, "
    "shouldBeConnected BOOLEAN NOT NULL, "
    "isConnected BOOLEAN NOT NULL, "
    "isManaged BOOLEAN NOT NULL DEFAULT 0, "
    "backendIdentifier TEXT, "
    "isBackendEnforced BOOLEAN NOT NULL DEFAULT 0, "
    "driveType TEXT NOT NULL DEFAULT FileProvider, "
    "mountPoint TEXT, "
    "fpdBackingStoreIdentity BLOB, "
    "reimportStartTimestamp TEXT)",
    "CREATE TABLE IF NOT EXISTS Events ("
    "eventIdentifier INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
    "sourceProcessIdentifier INTEGER NOT NULL, "
    "eventName TEXT NOT NULL, "
    "eventData TEXT NOT NULL, "
    "timestamp TEXT NOT NULL)",
};

MainDatabaseError errorOf(sqlite3* db, int code) {
  return {code, db ? sqlite3_errmsg(db) : sqlite3_errstr(code)};
}

/// One prepared statement, finalized with the object.
class Statement {
 public:
  static std::expected<Statement, MainDatabaseError> prepare(sqlite3* db, std::string_view sql) {
    sqlite3_stmt* stmt = nullptr;
    int r = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (r != SQLITE_OK) return std::unexpected(errorOf(db, r));
    return Statement(db, stmt);
  }
  Statement(Statement&& other) noexcept
      : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)) {}
  ~Statement() { sqlite3_finalize(stmt_); }

  std::expected<void, MainDatabaseError> bind(const std::vector<SQLValue>& values) {
    for (size_t i = 0; i < values.size(); ++i) {
      int index = static_cast<int>(i) + 1;
      int r = std::visit(
          [&](const auto& v) -> int {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
              return sqlite3_bind_null(stmt_, index);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
              return sqlite3_bind_int64(stmt_, index, v);
            } else if constexpr (std::is_same_v<T, double>) {
              return sqlite3_bind_double(stmt_, index, v);
            } else if constexpr (std::is_same_v<T, std::string>) {
              return sqlite3_bind_text64(stmt_, index, v.data(), v.size(), SQLITE_TRANSIENT,
                                         SQLITE_UTF8);
            } else {
              return sqlite3_bind_blob64(stmt_, index, v.bytes.data(), v.bytes.size(),
                                         SQLITE_TRANSIENT);
            }
          },
          values[i]);
      if (r != SQLITE_OK) return std::unexpected(errorOf(db_, r));
    }
    return {};
  }

  /// True with a row, false when done.
  std::expected<bool, MainDatabaseError> step() {
    int r = sqlite3_step(stmt_);
    if (r == SQLITE_ROW) return true;
    if (r == SQLITE_DONE) return false;
    return std::unexpected(errorOf(db_, r));
  }

  SQLRow row() const {
    SQLRow row;
    int count = sqlite3_column_count(stmt_);
    for (int i = 0; i < count; ++i) {
      switch (sqlite3_column_type(stmt_, i)) {
        case SQLITE_INTEGER:
          row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(stmt_, i)));
          break;
        case SQLITE_FLOAT:
          row.emplace_back(sqlite3_column_double(stmt_, i));
          break;
        case SQLITE_TEXT: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
          row.emplace_back(std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, i))));
          break;
        }
        case SQLITE_BLOB: {
          const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, i));
          row.emplace_back(SQLBlob{
              std::string(data ? data : "", static_cast<size_t>(sqlite3_column_bytes(stmt_, i)))});
          break;
        }
        default:
          row.emplace_back(nullptr);
      }
    }
    return row;
  }

 private:
  Statement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  sqlite3* db_;
  sqlite3_stmt* stmt_;
};

}  // namespace

struct MainDatabase::Connection {
  sqlite3* db = nullptr;
  ~Connection() { sqlite3_close_v2(db); }

  std::expected<std::vector<SQLRow>, MainDatabaseError> run(std::string_view sql,
                                                            const std::vector<SQLValue>& bindings,
                                                            std::int64_t* changes) {
    auto statement = Statement::prepare(db, sql);
    if (!statement) return std::unexpected(statement.error());
    if (auto bound = statement->bind(bindings); !bound) return std::unexpected(bound.error());
    std::vector<SQLRow> rows;
    for (;;) {
      auto stepped = statement->step();
      if (!stepped) return std::unexpected(stepped.error());
      if (!*stepped) break;
      rows.push_back(statement->row());
    }
    if (changes) *changes = sqlite3_changes64(db);
    return rows;
  }
};

std::optional<std::string> sqlText(const SQLValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return std::nullopt;
}
std::optional<std::int64_t> sqlInteger(const SQLValue& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return *integer;
  return std::nullopt;
}
std::optional<std::string> sqlBlob(const SQLValue& value) {
  if (const auto* blob = std::get_if<SQLBlob>(&value)) return blob->bytes;
  return std::nullopt;
}

MainDatabase::MainDatabase(std::unique_ptr<Connection> connection, base::Logger logger)
    : connection_(std::move(connection)), logger_(std::move(logger)) {}

MainDatabase::~MainDatabase() {
  dbQueue_.drain();
}

std::expected<std::shared_ptr<MainDatabase>, MainDatabaseError> MainDatabase::open(
    const std::filesystem::path& path, base::Logger logger) {
  auto connection = std::make_unique<Connection>();
  // Private before SQLite opens it: its journal and WAL files take the database file's mode.
  base::ensurePrivateFile(path);
  int r =
      sqlite3_open_v2(path.c_str(), &connection->db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (r != SQLITE_OK) {
    auto error = errorOf(connection->db, r);
    logger.error("Opening main database failed",
                 base::LoggerMetadata{{"path", path.string()}, {"error", error.message}});
    return std::unexpected(error);
  }
  // Other processes hold the database too: wait for their locks instead of failing at once.
  sqlite3_busy_timeout(connection->db, 5000);
  for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA foreign_keys=ON"}) {
    if (auto done = connection->run(pragma, {}, nullptr); !done)
      return std::unexpected(done.error());
  }
  for (const char* statement : kSchema) {
    if (auto done = connection->run(statement, {}, nullptr); !done) {
      logger.error("Creating main database tables failed",
                   base::LoggerMetadata{{"error", done.error().message}});
      return std::unexpected(done.error());
    }
  }
  return std::shared_ptr<MainDatabase>(new MainDatabase(std::move(connection), std::move(logger)));
}

template <class F>
auto MainDatabase::onQueue(F&& body) {
  if (dbQueue_.isCurrent()) return body();
  return dbQueue_.sync(std::forward<F>(body));
}

std::expected<std::int64_t, MainDatabaseError> MainDatabase::execute(
    std::string_view sql, const std::vector<SQLValue>& bindings) {
  return onQueue([&]() -> std::expected<std::int64_t, MainDatabaseError> {
    std::int64_t changes = 0;
    auto rows = connection_->run(sql, bindings, &changes);
    if (!rows) return std::unexpected(rows.error());
    return changes;
  });
}

std::expected<std::vector<SQLRow>, MainDatabaseError> MainDatabase::query(
    std::string_view sql, const std::vector<SQLValue>& bindings) {
  return onQueue([&] { return connection_->run(sql, bindings, nullptr); });
}

std::expected<void, MainDatabaseError> MainDatabase::transaction(
    const std::function<std::expected<void, MainDatabaseError>()>& body) {
  return onQueue([&]() -> std::expected<void, MainDatabaseError> {
    if (auto begun = connection_->run("BEGIN IMMEDIATE", {}, nullptr); !begun) {
      return std::unexpected(begun.error());
    }
    auto result = body();
    if (!result) {
      (void)connection_->run("ROLLBACK", {}, nullptr);
      return result;
    }
    if (auto committed = connection_->run("COMMIT", {}, nullptr); !committed) {
      (void)connection_->run("ROLLBACK", {}, nullptr);
      return std::unexpected(committed.error());
    }
    return {};
  });
}

}  // namespace tarnix::common
