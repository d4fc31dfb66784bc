#pragma once
// The item record of the whole system: one file or folder of a drive as the extension knows it.
#include <cstdint>
#include <optional>
#include <string>

#include "base/Date.hpp"
#include "common/ItemLocks.hpp"
#include "common/OfflineFolderState.hpp"
#include "common/SyncIdentifiers.hpp"
#include "common/SyncItemAttributes.hpp"

namespace tarnix::common {

/// The framework's file-system flags of an item, kept verbatim as their integer.
using FileSystemFlagsValue = std::int64_t;

struct SyncItem {
  SyncItemIdentifier itemIdentifier = SyncFolderIdentifier::zero();
  SyncItemRealm itemRealm = SyncItemRealm::online;
  SyncFolderIdentifier parentItemIdentifier;
  std::optional<CloudItemIdentifier> cloudIdentifier;
  std::string filename;
  SyncItemPermission permission = SyncItemPermission::none;
  std::optional<base::Date> creationDate;
  SyncItemFlags flags;
  std::optional<std::string> author;
  base::Date uploadDate{};
  std::int64_t metadataVersion = 0;
  std::optional<CloudEntryIdentifier> contentVersion;
  std::int64_t contentSize = 0;
  std::optional<base::Date> contentModificationDate;
  std::optional<base::Date> cfsContentModificationDateOverride;
  std::optional<std::string> contentChecksum;
  std::int64_t historySize = 0;
  bool hasStandardUserAccess = false;
  bool isProjectFolder = false;
  bool isDocumentRoom = false;
  /// Revision number kept by the item store.
  std::int64_t revision = -1;
  /// Content or children are present locally.
  bool isMaterialized = true;
  std::optional<base::Date> lastUsedDate;
  std::optional<Bytes> tagData;
  std::optional<FileSystemFlagsValue> fileSystemFlags;
  std::optional<SyncExtendedAttributes> extendedAttributes;
  std::uint64_t typeAndCreator = 0;
  std::optional<CloudLockInfo> lockInfo;
  std::optional<LocalLock> localLock;
  std::optional<OfflineFolderState> subscriptionState;
  bool isSkipped = false;
  bool isAncestorSkipped = false;
  std::optional<std::string> systemItemIdentifier;
  std::optional<CloudEntryIdentifier> lastFailedUploadBaseVersion;
  std::optional<std::string> lastFailedUploadChecksum;

  /// The override when present, else `contentModificationDate`.
  std::optional<base::Date> cfsContentModificationDate() const {
    return cfsContentModificationDateOverride ? cfsContentModificationDateOverride
                                              : contentModificationDate;
  }
  /// Offline realm: the synthetic version of size and modification date (now when absent);
  /// online realm: `contentVersion`.
  std::optional<CloudEntryIdentifier> contentAncilaryVersion() const;

  bool isFolder() const { return itemIdentifier.isFolder(); }
  bool operator==(const SyncItem&) const = default;
};

/// What a cloud listing yields for one entry before it is merged into a SyncItem.
struct CloudItem {
  SyncItemIdentifier identifier = SyncFolderIdentifier::zero();
  SyncFolderIdentifier parentIdentifier;
  std::string filename;
  SyncItemPermission permission = SyncItemPermission::none;
  std::optional<std::string> author;
  base::Date uploadDate{};
  std::optional<CloudEntryIdentifier> contentVersion;
  std::int64_t contentSize = 0;
  std::optional<base::Date> contentModificationDate;
  std::optional<std::string> contentChecksum;
  std::int64_t historySize = 0;
  bool isFixedFolder = false;
  bool operator==(const CloudItem&) const = default;
};

/// The item is under a collaboration lock (an online editor session holds it).
bool hasCollaborationLock(const SyncItem& item);
/// Full, or owner for a fixed folder; never under a collaboration lock.
bool allowsMovingAndDeleting(const SyncItem& item);
/// Editor, or owner for a fixed folder; never under a collaboration lock.
bool allowsRenaming(const SyncItem& item);
/// Editor; below that only an offline item with some permission.
bool allowsEditing(const SyncItem& item);

}  // namespace tarnix::common
