#pragma once
// Failed uploads of files that the cloud did not know yet, one row per parent and name in the
// drive's "NewFileFailedUploads" table (names match without regard to letter case). A retry
// reads the row to find out whether the failed attempt reached the cloud after all.
//
// Thread-safe (the drive database's writer queue).

#include <memory>
#include <optional>
#include <string>

#include "common/DatabaseQueue.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::common {

struct NewFileFailedUpload {
  SyncFolderIdentifier parentItemIdentifier;
  std::string filename;
  /// Lower-case hex SHA-512 of the content whose upload failed.
  std::string checksum;

  bool operator==(const NewFileFailedUpload&) const = default;
};

class NewFileFailedUploadStorage {
 public:
  explicit NewFileFailedUploadStorage(std::shared_ptr<DatabaseQueue> dbQueue)
      : dbQueue_(std::move(dbQueue)) {}

  /// Records the failure, replacing an earlier one for the same parent and name.
  DatabaseResult<void> add(const NewFileFailedUpload& entry);
  DatabaseResult<std::optional<NewFileFailedUpload>> entry(
      const SyncFolderIdentifier& parentItemIdentifier, const std::string& filename);
  DatabaseResult<void> remove(const SyncFolderIdentifier& parentItemIdentifier,
                              const std::string& filename);

 private:
  std::shared_ptr<DatabaseQueue> dbQueue_;
};

}  // namespace tarnix::common
