#include "common/PatchedSyncItem.hpp"

namespace tarnix::common {

using F = SyncItemFields;
namespace {
constexpr F::Set kNoBit{0};
}

void PatchedSyncItem::setParentItemIdentifier(SyncFolderIdentifier value) {
  assign(item_.parentItemIdentifier, std::move(value), F::parentItemIdentifier);
}
void PatchedSyncItem::setCloudIdentifier(std::optional<CloudItemIdentifier> value) {
  assign(item_.cloudIdentifier, std::move(value), F::cloudIdentifier);
}
void PatchedSyncItem::setFilename(std::string value) {
  assign(item_.filename, std::move(value), F::filename);
}
void PatchedSyncItem::setPermission(SyncItemPermission value) {
  assign(item_.permission, value, F::permission);
}
void PatchedSyncItem::setCreationDate(std::optional<base::Date> value) {
  assign(item_.creationDate, value, F::creationDate);
}
void PatchedSyncItem::setFlags(SyncItemFlags value) {
  if (item_.flags == value) return;
  item_.flags = value;
  flagsChanged_ = true;
}
void PatchedSyncItem::setMetadataVersion(std::int64_t value) {
  assign(item_.metadataVersion, value, kNoBit);
}
void PatchedSyncItem::setAuthor(std::optional<std::string> value) {
  assign(item_.author, std::move(value), F::contents);
}
void PatchedSyncItem::setUploadDate(base::Date value) {
  assign(item_.uploadDate, value, F::contents);
}
void PatchedSyncItem::setContentVersion(std::optional<CloudEntryIdentifier> value) {
  assign(item_.contentVersion, std::move(value), F::contents);
}
void PatchedSyncItem::setContentSize(std::int64_t value) {
  assign(item_.contentSize, value, F::contents);
}
void PatchedSyncItem::setSubscriptionState(std::optional<OfflineFolderState> value) {
  assign(item_.subscriptionState, value, kNoBit);
}
void PatchedSyncItem::setContentModificationDate(std::optional<base::Date> value) {
  assign(item_.contentModificationDate, value, F::contentModificationDate);
}
void PatchedSyncItem::setCfsContentModificationDateOverride(std::optional<base::Date> value) {
  assign(item_.cfsContentModificationDateOverride, value, F::contents);
}
void PatchedSyncItem::setContentChecksum(std::optional<std::string> value) {
  assign(item_.contentChecksum, std::move(value), F::contents);
}
void PatchedSyncItem::setHistorySize(std::int64_t value) {
  assign(item_.historySize, value, F::historySize);
}
void PatchedSyncItem::setLastUsedDate(std::optional<base::Date> value) {
  assign(item_.lastUsedDate, value, F::lastUsedDate);
}
void PatchedSyncItem::setTagData(std::optional<Bytes> value) {
  assign(item_.tagData, std::move(value), F::tagData);
}
void PatchedSyncItem::setFileSystemFlags(std::optional<FileSystemFlagsValue> value) {
  assign(item_.fileSystemFlags, value, F::fileSystemFlags);
}
void PatchedSyncItem::setExtendedAttributes(std::optional<SyncExtendedAttributes> value) {
  const bool has = value && !value->values.empty();
  assign(item_.extendedAttributes, std::move(value), F::extendedAttributes);
  if (has) {
    item_.flags.insert(SyncItemFlags::hasExtendedAttributes);
  } else {
    item_.flags.remove(SyncItemFlags::hasExtendedAttributes);
  }
}
void PatchedSyncItem::setTypeAndCreator(std::uint64_t value) {
  assign(item_.typeAndCreator, value, F::typeAndCreator);
}
void PatchedSyncItem::setHasStandardUserAccess(bool value) {
  assign(item_.hasStandardUserAccess, value, F::hasStandardUserAccess);
}
void PatchedSyncItem::setIsProjectFolder(bool value) {
  assign(item_.isProjectFolder, value, F::isProjectFolder);
}
void PatchedSyncItem::setLockInfo(std::optional<CloudLockInfo> value) {
  assign(item_.lockInfo, std::move(value), F::lockOwner);
}
void PatchedSyncItem::setLocalLock(std::optional<LocalLock> value) {
  assign(item_.localLock, std::move(value), kNoBit);
}
void PatchedSyncItem::setIsDocumentRoom(bool value) {
  assign(item_.isDocumentRoom, value, F::isDocumentRoom);
}
void PatchedSyncItem::setRevision(std::int64_t value) {
  assign(item_.revision, value, F::revision);
}
void PatchedSyncItem::setIsMaterialized(bool value) {
  assign(item_.isMaterialized, value, F::isMaterialized);
}

void PatchedSyncItem::changeContent(std::optional<CloudEntryIdentifier> version, std::int64_t size,
                                    std::optional<base::Date> modificationDate,
                                    std::optional<base::Date> cfsModificationDate,
                                    std::optional<std::string> checksum,
                                    std::optional<std::string> author, base::Date uploadDate) {
  setContentVersion(std::move(version));
  setContentSize(size);
  setContentModificationDate(modificationDate);
  setCfsContentModificationDateOverride(cfsModificationDate);
  setContentChecksum(std::move(checksum));
  setAuthor(std::move(author));
  setUploadDate(uploadDate);
}

}  // namespace tarnix::common
