#include "common/detail/ItemRows.hpp"

#include <bit>

namespace tarnix::common::detail {

namespace {
DatabaseError invalid(const Statement& row, const std::string& what) {
  return DatabaseError{DatabaseError::Kind::invalidValue,
                       0,
                       "stored item \"" + row.text(kItemIdentifier) + "\" has " + what,
                       {}};
}
}  // namespace

DatabaseResult<SyncItem> itemFromRow(const Statement& row) {
  SyncItem item;
  if (auto read = readItemRow(row, item); !read) return std::unexpected(read.error());
  return item;
}

DatabaseResult<void> readItemRow(const Statement& row, SyncItem& item) {
  auto identifier = SyncItemIdentifier::fromPrefixed(row.text(kItemIdentifier));
  if (!identifier) return std::unexpected(invalid(row, "an invalid identifier"));
  item.itemIdentifier = std::move(*identifier);
  item.itemRealm = syncItemRealmFromRaw(row.int64(kItemRealm)).value_or(SyncItemRealm::online);
  if (!row.isNull(kParentItemIdentifier)) {
    auto parent = SyncFolderIdentifier::fromPrefixed(row.text(kParentItemIdentifier));
    if (!parent) return std::unexpected(invalid(row, "an invalid parent identifier"));
    item.parentItemIdentifier = std::move(*parent);
  } else {
    item.parentItemIdentifier = SyncFolderIdentifier::zero();
  }
  if (!row.isNull(kCloudIdentifier)) {
    item.cloudIdentifier = CloudItemIdentifier::fromPrefixed(row.text(kCloudIdentifier));
    if (!item.cloudIdentifier) return std::unexpected(invalid(row, "an invalid cloud identifier"));
  }
  item.filename = row.text(kFilename);
  item.permission =
      syncItemPermissionFromRaw(row.int64(kPermission)).value_or(SyncItemPermission::none);
  item.creationDate = row.date(kCreationDate);
  item.flags.rawValue = row.int64(kFlags);
  item.author = row.optionalText(kAuthor);
  item.uploadDate = row.date(kUploadDate).value_or(base::Date{});
  item.metadataVersion = row.int64(kMetadataVersion);
  if (auto version = row.optionalText(kContentVersion)) {
    item.contentVersion = CloudEntryIdentifier{std::move(*version)};
  }
  item.contentSize = row.int64(kContentSize);
  item.contentModificationDate = row.date(kContentModificationDate);
  item.contentChecksum = row.optionalText(kContentChecksum);
  item.historySize = row.int64(kHistorySize);
  item.lastUsedDate = row.date(kLastUsedDate);
  if (!row.isNull(kTagData)) item.tagData = row.blob(kTagData);
  if (!row.isNull(kFileSystemFlags)) item.fileSystemFlags = row.int64(kFileSystemFlags);
  item.typeAndCreator = std::bit_cast<std::uint64_t>(row.int64(kTypeAndCreator));
  item.isSkipped = row.boolean(kIsSkipped);
  item.isAncestorSkipped = row.boolean(kIsAncestorSkipped);
  item.hasStandardUserAccess = row.boolean(kHasStandardUserAccess);
  item.isProjectFolder = row.boolean(kIsProjectFolder);
  item.isDocumentRoom = row.boolean(kIsDocumentRoom);
  item.revision = row.int64(kRevision);
  item.isMaterialized = row.boolean(kIsMaterialized);
  item.systemItemIdentifier = row.optionalText(kSystemItemIdentifier);
  if (auto base = row.optionalText(kLastFailedUploadBaseVersion)) {
    item.lastFailedUploadBaseVersion = CloudEntryIdentifier{std::move(*base)};
  }
  item.lastFailedUploadChecksum = row.optionalText(kLastFailedUploadChecksum);
  item.cfsContentModificationDateOverride = row.date(kCfsContentModificationDateOverride);
  if (row.columnCount() > kLockOwnerIdentifier && !row.isNull(kLockItemIdentifier)) {
    item.lockInfo = CloudLockInfo{row.int64(kLockOwnerIdentifier), row.text(kLockOwnerFirstName),
                                  row.text(kLockOwnerLastName), row.optionalText(kLockOwnerEmail),
                                  row.optionalText(kLockCollaborationToken)};
  }
  return {};
}

void bindItemColumns(Statement& s, const SyncItem& item) {
  s.bind(1 + kItemIdentifier, item.itemIdentifier.description());
  s.bind(1 + kItemRealm, static_cast<std::int64_t>(item.itemRealm));
  s.bind(1 + kParentItemIdentifier, item.parentItemIdentifier.description());
  if (item.cloudIdentifier) {
    s.bind(1 + kCloudIdentifier, item.cloudIdentifier->description());
  } else {
    s.bindNull(1 + kCloudIdentifier);
  }
  s.bind(1 + kFilename, item.filename);
  s.bind(1 + kPermission, static_cast<std::int64_t>(item.permission));
  s.bind(1 + kCreationDate, item.creationDate);
  s.bind(1 + kFlags, item.flags.rawValue);
  s.bind(1 + kAuthor, item.author);
  s.bind(1 + kUploadDate, item.uploadDate);
  s.bind(1 + kMetadataVersion, item.metadataVersion);
  if (item.contentVersion) {
    s.bind(1 + kContentVersion, item.contentVersion->rawValue);
  } else {
    s.bindNull(1 + kContentVersion);
  }
  s.bind(1 + kContentSize, item.contentSize);
  s.bind(1 + kContentModificationDate, item.contentModificationDate);
  s.bind(1 + kContentChecksum, item.contentChecksum);
  s.bind(1 + kHistorySize, item.historySize);
  s.bind(1 + kLastUsedDate, item.lastUsedDate);
  if (item.tagData) {
    s.bindBlob(1 + kTagData, *item.tagData);
  } else {
    s.bindNull(1 + kTagData);
  }
  s.bind(1 + kFileSystemFlags, item.fileSystemFlags);
  s.bind(1 + kTypeAndCreator, std::bit_cast<std::int64_t>(item.typeAndCreator));
  s.bind(1 + kIsSkipped, item.isSkipped);
  s.bind(1 + kIsAncestorSkipped, item.isAncestorSkipped);
  s.bind(1 + kHasStandardUserAccess, item.hasStandardUserAccess);
  s.bind(1 + kIsProjectFolder, item.isProjectFolder);
  s.bind(1 + kIsDocumentRoom, item.isDocumentRoom);
  s.bind(1 + kDead, std::int64_t{0});
  s.bind(1 + kRevision, item.revision);
  s.bind(1 + kIsMaterialized, item.isMaterialized);
  s.bind(1 + kSystemItemIdentifier, item.systemItemIdentifier);
  if (item.lastFailedUploadBaseVersion) {
    s.bind(1 + kLastFailedUploadBaseVersion, item.lastFailedUploadBaseVersion->rawValue);
  } else {
    s.bindNull(1 + kLastFailedUploadBaseVersion);
  }
  s.bind(1 + kLastFailedUploadChecksum, item.lastFailedUploadChecksum);
  s.bind(1 + kCfsContentModificationDateOverride, item.cfsContentModificationDateOverride);
}

#define TARNIX_INSERT_ITEM                                                                       \
  "INSERT INTO Items VALUES (?1, ?2, ?3, ?4, ?5, (SELECT IFNULL(MAX(rank), 0) FROM Items) + 1, " \
  "?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, " \
  "?26, ?27, ?28, ?29, ?30, ?31, ?32, ?33)"

const char* const kInsertItem = TARNIX_INSERT_ITEM;

const char* const kUpsertItem = TARNIX_INSERT_ITEM
    " ON CONFLICT(itemIdentifier) DO UPDATE SET itemRealm = excluded.itemRealm, "
    "parentItemIdentifier = excluded.parentItemIdentifier, cloudIdentifier = "
    "excluded.cloudIdentifier, filename = excluded.filename, rank = excluded.rank, permission = "
    "excluded.permission, creationDate = excluded.creationDate, flags = excluded.flags, author = "
    "excluded.author, uploadDate = excluded.uploadDate, metadataVersion = "
    "excluded.metadataVersion, contentVersion = excluded.contentVersion, contentSize = "
    "excluded.contentSize, contentModificationDate = excluded.contentModificationDate, "
    "contentChecksum = excluded.contentChecksum, historySize = excluded.historySize, "
    "lastUsedDate = excluded.lastUsedDate, tagData = excluded.tagData, fileSystemFlags = "
    "excluded.fileSystemFlags, typeAndCreator = excluded.typeAndCreator, isSkipped = "
    "excluded.isSkipped, isAncestorSkipped = excluded.isAncestorSkipped, hasStandardUserAccess = "
    "excluded.hasStandardUserAccess, isProjectFolder = excluded.isProjectFolder, isDocumentRoom "
    "= excluded.isDocumentRoom, dead = 0, revision = excluded.revision, isMaterialized = "
    "excluded.isMaterialized, systemItemIdentifier = excluded.systemItemIdentifier, "
    "lastFailedUploadBaseVersion = excluded.lastFailedUploadBaseVersion, "
    "lastFailedUploadChecksum = excluded.lastFailedUploadChecksum, "
    "cfsContentModificationDateOverride = excluded.cfsContentModificationDateOverride";

#undef TARNIX_INSERT_ITEM

}  // namespace tarnix::common::detail
