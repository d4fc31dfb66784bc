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

DatabaseResult<std::vector<common::SyncFolderIdentifier>> ListingMetadataStorage::listedFolders() {
  return dbQueue_->read<std::vector<common::SyncFolderIdentifier>>(
      [&](Database& db) -> DatabaseResult<std::vector<common::SyncFolderIdentifier>> {
        // Depth first from the root; a damaged tree with a cycle ends at the depth bound.
        auto statement = db.prepare(
            "WITH RECURSIVE tree(itemIdentifier, depth) AS (SELECT itemIdentifier, 0 FROM "
            "RootItem UNION ALL SELECT Items.itemIdentifier, tree.depth + 1 FROM Items JOIN tree "
            "ON Items.parentItemIdentifier = tree.itemIdentifier WHERE Items.dead = 0 AND "
            "tree.depth < 10000) SELECT tree.itemIdentifier FROM tree JOIN Listings ON "
            "Listings.folderIdentifier = tree.itemIdentifier ORDER BY tree.depth");
        if (!statement) return std::unexpected(statement.error());
        std::vector<common::SyncFolderIdentifier> folders;
        while (true) {
          auto row = statement->step();
          if (!row) return std::unexpected(row.error());
          if (!*row) break;
          auto folder = common::SyncFolderIdentifier::fromPrefixed(statement->text(0));
          if (folder) folders.push_back(std::move(*folder));
        }
        return folders;
      });
}

}  // namespace tarnix::fileprovider
