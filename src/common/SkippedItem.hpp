#pragma once
// A skip: an item that could not be synchronised for a lasting reason, recorded so that the
// desktop application can list it. One row of the `Skips` table of the item database.
#include <optional>
#include <string>
#include <string_view>

#include "base/Date.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::common {

/// Stored as its case name.
enum class SkipReason {
  unknown,
  insufficientPermissions,
  tooManyFiles,
  fileIsTooLarge,
  fileInUse,
  excluded,
  malwareDetected,
  unsupportedCharacters,
  noConnection,
  nameTooLong,
  pathTooLong,
  unableToUpdate,
  noContents,
  googleDoc,
  outOfSpace,
  lowDiskSpace,
  activeDatabase,
  lockedFile,
  serverTooBusy,
  checksumMismatch,
  deletionConflict,
  externalDeviceDisconnected,
  insufficientDiskSpace,
  corruptFile
};
/// The case name ("deletionConflict").
std::string_view description(SkipReason reason);
/// The reason of a case name; none for any other text (case-sensitive).
std::optional<SkipReason> skipReasonFromString(std::string_view text);

/// Stored as its integer.
enum class SkippedItemRealm : int { online = 0, offline = 1 };

struct SkippedItem {
  /// The item's sync identifier; stored prefixed ("file/..." or "folder/...").
  SyncItemIdentifier itemIdentifier = SyncFolderIdentifier::zero();
  SkippedItemRealm realm = SkippedItemRealm::online;
  std::string filename;
  SkipReason skipReason = SkipReason::unknown;
  /// When the skip was recorded.
  base::Date timestamp{};
  bool directory = false;
  bool retried = false;
  bool viewed = false;
  std::optional<SyncFolderIdentifier> parentItemIdentifier;
  std::optional<base::Date> creationDate;
  /// The name under which a conflicting item was re-created.
  std::optional<std::string> bumpedFilename;

  bool operator==(const SkippedItem&) const = default;
};

}  // namespace tarnix::common
