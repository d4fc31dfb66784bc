#pragma once
// A sync item being edited, with the set of fields that differ from the stored row, and the
// result of comparing a cloud listing with the stored children of a folder.
#include <vector>

#include "common/SyncItem.hpp"

namespace tarnix::common {

/// Edits a SyncItem and records in `changes()` which fields now differ from the stored row;
/// SyncItemStorage::update writes those columns only. `itemIdentifier`, `itemRealm`,
/// `isSkipped` and `isAncestorSkipped` cannot be changed here; nor can `systemItemIdentifier`
/// and the failed-upload details, which have their own store operations.
///
/// A setter given the value the field already holds changes nothing; otherwise it stores the
/// value and adds the field's bit. The content fields (version, size, checksum, author, upload
/// date and the modification date override) share the `contents` bit. `flags` has no bit
/// because every update writes them; a change of the flags alone still makes the patch one
/// that has changes (`flagsChanged`). `metadataVersion`, `subscriptionState` and `localLock`
/// have no bit (the store derives or keeps them elsewhere).
class PatchedSyncItem {
 public:
  explicit PatchedSyncItem(SyncItem item, SyncItemFields changes = {})
      : item_(std::move(item)), changes_(changes) {}

  const SyncItem& item() const { return item_; }
  SyncItemFields changes() const { return changes_; }
  bool hasChanges() const { return !changes_.isEmpty() || flagsChanged_; }
  /// The flags differ from the stored row's.
  bool flagsChanged() const { return flagsChanged_; }
  void clearChanges() {
    changes_ = {};
    flagsChanged_ = false;
  }

  const SyncItemIdentifier& itemIdentifier() const { return item_.itemIdentifier; }

  void setParentItemIdentifier(SyncFolderIdentifier value);
  void setCloudIdentifier(std::optional<CloudItemIdentifier> value);
  void setFilename(std::string value);
  void setPermission(SyncItemPermission value);
  void setCreationDate(std::optional<base::Date> value);
  void setFlags(SyncItemFlags value);
  void setMetadataVersion(std::int64_t value);
  void setAuthor(std::optional<std::string> value);
  void setUploadDate(base::Date value);
  void setContentVersion(std::optional<CloudEntryIdentifier> value);
  void setContentSize(std::int64_t value);
  void setSubscriptionState(std::optional<OfflineFolderState> value);
  void setContentModificationDate(std::optional<base::Date> value);
  void setCfsContentModificationDateOverride(std::optional<base::Date> value);
  void setContentChecksum(std::optional<std::string> value);
  void setHistorySize(std::int64_t value);
  void setLastUsedDate(std::optional<base::Date> value);
  void setTagData(std::optional<Bytes> value);
  void setFileSystemFlags(std::optional<FileSystemFlagsValue> value);
  /// Also sets or clears the `hasExtendedAttributes` flag.
  void setExtendedAttributes(std::optional<SyncExtendedAttributes> value);
  void setTypeAndCreator(std::uint64_t value);
  void setHasStandardUserAccess(bool value);
  void setIsProjectFolder(bool value);
  void setLockInfo(std::optional<CloudLockInfo> value);
  void setLocalLock(std::optional<LocalLock> value);
  void setIsDocumentRoom(bool value);
  void setRevision(std::int64_t value);
  void setIsMaterialized(bool value);

  /// Sets the content fields together.
  void changeContent(std::optional<CloudEntryIdentifier> version, std::int64_t size,
                     std::optional<base::Date> modificationDate,
                     std::optional<base::Date> cfsModificationDate,
                     std::optional<std::string> checksum, std::optional<std::string> author,
                     base::Date uploadDate);

  bool operator==(const PatchedSyncItem&) const = default;

 private:
  template <class T>
  void assign(T& field, T value, SyncItemFields::Set bit) {
    if (field == value) return;
    field = std::move(value);
    changes_.insert(bit);
  }

  SyncItem item_;
  SyncItemFields changes_;
  bool flagsChanged_ = false;
};

/// The result of comparing a cloud listing with the stored children of a folder.
struct SyncItemListPatch {
  std::vector<SyncItem> createdItems;
  std::vector<PatchedSyncItem> modifiedItems;
  /// Items that are no longer children of the listed folder.
  std::vector<SyncItem> movedAwayItems;
  /// A lock this user held was released in the cloud.
  bool userLockRemovedRemotely = false;
};

}  // namespace tarnix::common
