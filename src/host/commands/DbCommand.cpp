// Support tools for item databases that users send in.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <string>

#include "common/Database.hpp"
#include "common/DriveDatabase.hpp"
#include "host/Commands.hpp"
#include "host/commands/Commands.hpp"

namespace tarnix::host {
namespace {

using common::Database;

void fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  setCommandExitStatus(1);
}

// Applies the pending migrations and prints their names.
void migrate(const std::string& path, const std::string& domain) {
  if (!std::filesystem::exists(path)) return fail(path + ": no such file");
  const std::string domainIdentifier =
      domain.empty() ? std::filesystem::path(path).parent_path().filename().string() : domain;
  auto opened = common::DriveDatabase::openFile(path, domainIdentifier);
  if (!opened) return fail(opened.error().description());
  const auto& applied = (*opened)->appliedMigrations();
  if (applied.empty()) std::puts("No migrations applied");
  for (const auto& name : applied) std::puts(name.c_str());
}

std::optional<std::int64_t> scalar(Database& db, const char* sql) {
  // An unreadable value counts as none: the integrity check above says why.
  auto value = db.scalarInt(sql);
  if (!value) return std::nullopt;
  return *value;
}

// Runs SQLite's integrity check and prints rank statistics; the file is not changed.
void check(const std::string& path) {
  if (!std::filesystem::exists(path)) return fail(path + ": no such file");
  auto db = Database::open(path, Database::Mode::readOnly);
  if (!db) return fail(db.error().description());
  auto integrity = (*db)->prepare("PRAGMA integrity_check");
  if (!integrity) return fail(integrity.error().description());
  bool ok = true;
  while (true) {
    auto row = integrity->step();
    if (!row) return fail(row.error().description());
    if (!*row) break;
    const auto line = integrity->text(0);
    ok = ok && line == "ok";
    std::printf("integrity: %s\n", line.c_str());
  }
  if (!(*db)->tableExists("Items")) {
    std::puts("items: no Items table");
  } else {
    const bool hasDead = scalar(**db,
                                "SELECT COUNT(*) FROM pragma_table_info('Items') WHERE "
                                "name = 'dead'")
                             .value_or(0) > 0;
    auto print = [&](const char* label, const char* sql) {
      auto value = scalar(**db, sql);
      if (!value) {
        std::printf("%s: none\n", label);
      } else {
        std::printf("%s: %lld\n", label, static_cast<long long>(*value));
      }
    };
    print("items", "SELECT COUNT(*) FROM Items");
    if (hasDead) {
      print("alive", "SELECT COUNT(*) FROM Items WHERE dead = 0");
      print("tombstones", "SELECT COUNT(*) FROM Items WHERE dead = 1");
      print("delayed deletions", "SELECT COUNT(*) FROM Items WHERE dead = 2");
    }
    print("lowest rank", "SELECT MIN(rank) FROM Items");
    print("highest rank", "SELECT MAX(rank) FROM Items");
    print("distinct ranks", "SELECT COUNT(DISTINCT rank) FROM Items");
    print("largest rank group",
          "SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM Items GROUP BY rank)");
    print("ranks shared by 10000 or more rows",
          "SELECT COUNT(*) FROM (SELECT rank FROM Items GROUP BY rank HAVING COUNT(*) >= 10000)");
    if ((*db)->tableExists("DomainData") &&
        scalar(**db,
               "SELECT COUNT(*) FROM pragma_table_info('DomainData') WHERE name = "
               "'graveyardRank'")
                .value_or(0) > 0) {
      print("graveyard rank", "SELECT graveyardRank FROM DomainData");
    }
  }
  if (!ok) fail(path + ": integrity check failed");
}

}  // namespace

void addDbCommands(CLI::App& app) {
  auto* db = app.add_subcommand("db", "Inspect and repair drive item databases");
  db->require_subcommand(1);
  auto* migrateCommand = db->add_subcommand(
      "migrate", "Open a drive database with its migrations and print the migrations applied");
  static std::string migratePath;
  static std::string domain;
  migrateCommand->add_option("PATH", migratePath, "The database file (Metadata.db)")->required();
  migrateCommand->add_option("--domain", domain,
                             "Drive identifier for a new DomainData row (default: the name of "
                             "the file's directory)");
  migrateCommand->callback([] { migrate(migratePath, domain); });
  auto* checkCommand =
      db->add_subcommand("check", "Run the integrity check and print rank statistics");
  static std::string checkPath;
  checkCommand->add_option("PATH", checkPath, "The database file (Metadata.db)")->required();
  checkCommand->callback([] { check(checkPath); });
}

}  // namespace tarnix::host
