#pragma once
// The bookkeeping of folder listings: per folder, the entity tag of its last successful
// listing and when that listing (or a not-modified answer) happened. Rows live in the table
// `Listings` of the drive database and are replaced on every successful listing.
//
// Threads: any thread but the database writer queue may call the plain operations; the
// operations taking a `Database&` run inside the caller's transaction on the writer queue.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Date.hpp"
#include "base/Logger.hpp"
#include "common/Database.hpp"
#include "common/DatabaseQueue.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

struct ListingMetadata {
  common::SyncFolderIdentifier folderIdentifier;
  /// The entity tag of the folder's last successful listing.
  std::string version;
  base::Date lastSynchronizationTime{};
  bool operator==(const ListingMetadata&) const = default;
};

class ListingMetadataStorage {
 public:
  ListingMetadataStorage(std::shared_ptr<common::DatabaseQueue> dbQueue, base::Logger logger);

  /// The folder's row; none when the folder was never listed. A row whose time does not parse
  /// counts as none (the folder is then simply listed again).
  common::DatabaseResult<std::optional<ListingMetadata>> metadata(
      const common::SyncFolderIdentifier& folder);
  common::DatabaseResult<void> store(const ListingMetadata& metadata);
  common::DatabaseResult<void> store(common::Database& db, const ListingMetadata& metadata);
  /// The alive folders below the drive's root (and the root) that have been listed, parents
  /// before children: what must be listed again when the cloud's change history is lost.
  common::DatabaseResult<std::vector<common::SyncFolderIdentifier>> listedFolders();

 private:
  std::shared_ptr<common::DatabaseQueue> dbQueue_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
