#pragma once
// How a SyncItem maps to a row of Items (joined with RemoteLocks) and back.
#include "common/Database.hpp"
#include "common/SyncItem.hpp"

namespace tarnix::common::detail {

/// Columns of Items in table order, as the migrations leave them.
enum ItemColumn : int {
  kItemIdentifier = 0,
  kItemRealm,
  kParentItemIdentifier,
  kCloudIdentifier,
  kFilename,
  kRank,
  kPermission,
  kCreationDate,
  kFlags,
  kAuthor,
  kUploadDate,
  kMetadataVersion,
  kContentVersion,
  kContentSize,
  kContentModificationDate,
  kContentChecksum,
  kHistorySize,
  kLastUsedDate,
  kTagData,
  kFileSystemFlags,
  kTypeAndCreator,
  kIsSkipped,
  kIsAncestorSkipped,
  kHasStandardUserAccess,
  kIsProjectFolder,
  kIsDocumentRoom,
  kDead,
  kRevision,
  kIsMaterialized,
  kSystemItemIdentifier,
  kLastFailedUploadBaseVersion,
  kLastFailedUploadChecksum,
  kCfsContentModificationDateOverride,
  kItemColumnCount,
  // RemoteLocks, joined after the Items columns.
  kLockItemIdentifier = kItemColumnCount,
  kLockOwnerIdentifier,
  kLockOwnerFirstName,
  kLockOwnerLastName,
  kLockOwnerEmail,
  kLockCollaborationToken,
};

inline constexpr const char* kSelectItems =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) ";

/// The item of the current row (no extended attributes, subscription state or local lock).
/// A row whose identifiers do not parse is an `invalidValue` error.
DatabaseResult<SyncItem> itemFromRow(const Statement& row);
/// The same, read into `item` (a default item), so that long reads can build their items in
/// place. On error `item` is left partly filled.
DatabaseResult<void> readItemRow(const Statement& row, SyncItem& item);

/// Binds the item's columns 1...33 in table order (`dead` = 0; `rank` is not bound: the
/// statement computes it).
void bindItemColumns(Statement& statement, const SyncItem& item);

/// INSERT of a new item; fails on an identifier the table already holds.
extern const char* const kInsertItem;
/// INSERT of an item that replaces the row of the same identifier (alive or a tombstone).
extern const char* const kUpsertItem;

}  // namespace tarnix::common::detail
