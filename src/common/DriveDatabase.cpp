#include "common/DriveDatabase.hpp"

#include <system_error>

#include "base/PrivateFiles.hpp"

namespace tarnix::common {

DatabaseResult<std::unique_ptr<DriveDatabase>> DriveDatabase::open(
    const std::filesystem::path& driveDirectory, const std::string& domainIdentifier) {
  std::error_code ec = base::createPrivateDirectories(driveDirectory);
  if (ec) {
    return std::unexpected(DatabaseError{DatabaseError::Kind::sqlite, 0,
                                         "creating the drive directory failed: " + ec.message(),
                                         driveDirectory});
  }
  return openFile(driveDirectory / kFileName, domainIdentifier);
}

DatabaseResult<std::unique_ptr<DriveDatabase>> DriveDatabase::openFile(
    const std::filesystem::path& path, const std::string& domainIdentifier) {
  auto db = Database::open(path);
  if (!db) return std::unexpected(db.error());
  if (auto cache = (*db)->execute(kWriterCacheSize); !cache) return std::unexpected(cache.error());
  auto applied = migrator(domainIdentifier).migrate(**db);
  if (!applied) return std::unexpected(applied.error());
  auto queue = std::make_shared<DatabaseQueue>(std::move(*db), kQueueLabel);
  return std::unique_ptr<DriveDatabase>(new DriveDatabase(std::move(queue), std::move(*applied)));
}

}  // namespace tarnix::common
