#include "fileprovider/listing/ListingMetadataStorage.hpp"

namespace tarnix::fileprovider {

using common::Database;
using common::DatabaseResult;

ListingMetadataStorage::ListingMetadataStorage(std::shared_ptr<common::DatabaseQueue> dbQueue,
                                               base::Logger logger)
    : dbQueue_(std::move(dbQueue)), logger_(std::move(logger)) {}

DatabaseResult<std::optional<ListingMetadata>> ListingMetadataStorage::metadata(
    const common::SyncFolderIdentifier& folder) {
  return dbQueue_->read<std::optional<ListingMetadata>>(
      [&](Database& db) -> DatabaseResult<std::optional<ListingMetadata>> {
        auto statement = db.prepare("SELECT * FROM Listings WHERE folderIdentifier = ?");
        if (!statement) return std::unexpected(statement.error());
        statement->bind(1, folder.description());
        auto row = statement->step();
        if (!row) return std::unexpected(row.error());
        if (!*row) return std::nullopt;
        auto time = statement->date(2);
        if (!time) {
          logger_.warning("Stored listing time is malformed",
                          {{"itemID", folder.description()}, {"value", statement->text(2)}});
          return std::nullopt;
        }
        return ListingMetadata{folder, statement->text(1), *time};
      });
}

DatabaseResult<void> ListingMetadataStorage::store(const ListingMetadata& metadata) {
  return dbQueue_->write<void>([&](Database& db) { return store(db, metadata); });
}

DatabaseResult<void> ListingMetadataStorage::store(Database& db, const ListingMetadata& metadata) {
  auto statement = db.prepare("INSERT OR REPLACE INTO Listings VALUES (?, ?, ?)");
  if (!statement) return std::unexpected(statement.error());
  statement->bind(1, metadata.folderIdentifier.description())
      .bind(2, metadata.version)
      .bind(3, metadata.lastSynchronizationTime);
  return statement->run();
}

}  // namespace tarnix::fileprovider
