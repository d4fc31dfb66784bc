#pragma once
// What is known of failed uploads, so that a retry can find out whether the failed attempt
// reached the cloud after all: for an existing item the base version and checksum it sent (in
// its row of the item database), for a new file a NewFileFailedUploads row.
//
// Thread-safe (the drive database's writer queue).

#include <memory>
#include <optional>
#include <string>

#include "base/Logger.hpp"
#include "common/NewFileFailedUploadStorage.hpp"
#include "common/SyncItem.hpp"
#include "common/SyncItemStorage.hpp"

namespace tarnix::fileprovider {

/// A failed attempt as recorded.
struct FailedUploadRecord {
  std::optional<common::CloudEntryIdentifier> baseVersion;
  std::string checksum;
};

class FailedUploadStorage {
 public:
  /// `syncItemStorage` may be null: existing items then keep no record.
  FailedUploadStorage(
      std::shared_ptr<common::NewFileFailedUploadStorage> newFileFailedUploadStorage,
      std::shared_ptr<common::SyncItemStorage> syncItemStorage, base::Logger logger);

  /// The record of `item`'s last failed upload; `isNewFile` selects which kind.
  std::optional<FailedUploadRecord> lastFailure(const common::SyncItem& item, bool isNewFile);
  void recordFailure(const common::SyncItem& item, bool isNewFile,
                     const std::optional<common::CloudEntryIdentifier>& baseVersion,
                     const std::string& checksum);
  void clearFailure(const common::SyncItem& item, bool isNewFile);

 private:
  std::shared_ptr<common::NewFileFailedUploadStorage> newFileFailedUploadStorage_;
  std::shared_ptr<common::SyncItemStorage> syncItemStorage_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
