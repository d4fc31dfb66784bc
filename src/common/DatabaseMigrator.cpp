#include "common/DatabaseMigrator.hpp"

#include <algorithm>
#include <set>

namespace tarnix::common {

void DatabaseMigrator::registerMigration(std::string name, Body body, bool foreignKeysOff) {
  names_.push_back(std::move(name));
  bodies_.push_back(std::move(body));
  foreignKeysOff_.push_back(foreignKeysOff);
}

DatabaseResult<std::vector<std::string>> DatabaseMigrator::appliedMigrations(Database& db) {
  std::vector<std::string> applied;
  if (!db.tableExists("migrations")) return applied;
  auto statement = db.prepare("SELECT identifier FROM migrations ORDER BY rowid");
  if (!statement) return std::unexpected(statement.error());
  while (true) {
    auto row = statement->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    applied.push_back(statement->text(0));
  }
  return applied;
}

DatabaseResult<std::vector<std::string>> DatabaseMigrator::migrate(
    Database& db, const std::optional<std::string>& upTo) const {
  auto created =
      db.execute("CREATE TABLE IF NOT EXISTS migrations (identifier TEXT NOT NULL PRIMARY KEY)");
  if (!created) return std::unexpected(created.error());
  auto recorded = appliedMigrations(db);
  if (!recorded) return std::unexpected(recorded.error());
  const std::set<std::string> done(recorded->begin(), recorded->end());
  for (const auto& name : *recorded) {
    if (std::find(names_.begin(), names_.end(), name) == names_.end()) {
      return std::unexpected(DatabaseError{
          DatabaseError::Kind::migration, 0,
          "the database was written by a newer build: unknown migration \"" + name + "\"",
          db.path()});
    }
  }
  std::vector<std::string> applied;
  for (size_t i = 0; i < names_.size(); ++i) {
    const auto& name = names_[i];
    if (!done.contains(name)) {
      if (foreignKeysOff_[i]) (void)db.execute("PRAGMA foreign_keys = OFF");
      auto result = db.transaction<void>([&]() -> DatabaseResult<void> {
        if (auto body = bodies_[i](db); !body) return body;
        auto insert = db.prepare("INSERT INTO migrations (identifier) VALUES (?)");
        if (!insert) return std::unexpected(insert.error());
        insert->bind(1, name);
        return insert->run();
      });
      if (foreignKeysOff_[i]) (void)db.execute("PRAGMA foreign_keys = ON");
      if (!result) {
        auto e = result.error();
        e.kind = e.kind == DatabaseError::Kind::corrupt ? e.kind : DatabaseError::Kind::migration;
        e.message = "migration \"" + name + "\" failed: " + e.message;
        return std::unexpected(e);
      }
      applied.push_back(name);
    }
    if (upTo && *upTo == name) break;
  }
  return applied;
}

}  // namespace tarnix::common
