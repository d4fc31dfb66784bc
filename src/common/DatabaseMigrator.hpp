#pragma once
// A named, ordered list of schema migrations; each runs once, in its own transaction, and is
// recorded by name in the table `migrations`.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/Database.hpp"

namespace tarnix::common {

class DatabaseMigrator {
 public:
  using Body = std::function<DatabaseResult<void>(Database&)>;

  /// Appends a migration. With `foreignKeysOff` the migration runs with foreign-key enforcement
  /// off (needed to rebuild a table that others reference); it is turned on again afterwards.
  void registerMigration(std::string name, Body body, bool foreignKeysOff = false);

  const std::vector<std::string>& names() const { return names_; }

  /// The names recorded in the file, in the order they were applied.
  static DatabaseResult<std::vector<std::string>> appliedMigrations(Database& db);

  /// Applies the migrations not yet recorded, in order, up to and including `upTo` when given;
  /// returns the names it applied. A file recording a migration this list does not know (written
  /// by a newer build) is refused with a `migration` error naming the file and the migration,
  /// and left unchanged.
  DatabaseResult<std::vector<std::string>> migrate(
      Database& db, const std::optional<std::string>& upTo = std::nullopt) const;

 private:
  std::vector<std::string> names_;
  std::vector<Body> bodies_;
  std::vector<bool> foreignKeysOff_;
};

}  // namespace tarnix::common
