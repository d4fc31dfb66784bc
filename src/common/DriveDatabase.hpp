#pragma once
// The item database of one drive: "Metadata.db" in the drive's directory, brought up to date
// with the migrations "v1" to "v23", served by one writer queue labelled "DriveDatabase".
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/DatabaseMigrator.hpp"
#include "common/DatabaseQueue.hpp"

namespace tarnix::common {

class DriveDatabase {
 public:
  static constexpr const char* kFileName = "Metadata.db";
  static constexpr const char* kQueueLabel = "DriveDatabase";
  /// Page cache of the writer connection: a listing of a large folder writes all its rows in
  /// one transaction, and with SQLite's default 2 MiB its index pages would go out to the log
  /// and be read back many times over before the commit.
  static constexpr const char* kWriterCacheSize = "PRAGMA cache_size = -16384";

  /// Opens `<driveDirectory>/Metadata.db` (creating the directory and the file when missing)
  /// and applies the pending migrations. `domainIdentifier` (the drive's UUID text) names the
  /// DomainData row that a new file gets. Fails with a DatabaseError naming the file: `corrupt`
  /// for a damaged file, `migration` for a file from a newer build or a failed migration.
  static DatabaseResult<std::unique_ptr<DriveDatabase>> open(
      const std::filesystem::path& driveDirectory, const std::string& domainIdentifier);

  /// Opens the database file at `path` itself (support tools), with the same migrations.
  static DatabaseResult<std::unique_ptr<DriveDatabase>> openFile(
      const std::filesystem::path& path, const std::string& domainIdentifier);

  /// The migrations of the item database, in order ("v1" ... "v23").
  static DatabaseMigrator migrator(const std::string& domainIdentifier);

  /// The writer queue shared by every storage of the drive.
  const std::shared_ptr<DatabaseQueue>& dbQueue() const { return dbQueue_; }
  /// The migrations applied when this object opened the file.
  const std::vector<std::string>& appliedMigrations() const { return appliedMigrations_; }
  const std::filesystem::path& path() const { return dbQueue_->path(); }

 private:
  DriveDatabase(std::shared_ptr<DatabaseQueue> queue, std::vector<std::string> applied)
      : dbQueue_(std::move(queue)), appliedMigrations_(std::move(applied)) {}
  std::shared_ptr<DatabaseQueue> dbQueue_;
  std::vector<std::string> appliedMigrations_;
};

}  // namespace tarnix::common
