// The writes of SyncItemStorage: each runs in one transaction on the writer queue.
#include <sqlite3.h>

#include <functional>
#include <map>
#include <unordered_set>

#include "common/SyncItemStorage.hpp"
#include "common/detail/ItemRows.hpp"
#include "common/detail/ItemStorageQueries.hpp"
#include "common/detail/SyncItemStorageTransactions.hpp"

namespace tarnix::common {

using namespace detail;

namespace {
ItemStoreError dbError(DatabaseError error) {
  return ItemStoreError{std::move(error)};
}

ItemStoreResult<void> run(DatabaseResult<Statement>& statement) {
  if (!statement) return std::unexpected(dbError(statement.error()));
  if (auto done = statement->run(); !done) return std::unexpected(dbError(done.error()));
  return {};
}

ItemStoreResult<std::int64_t> maxRank(Database& db) {
  auto max = db.scalarInt("SELECT MAX(rank) FROM Items");
  if (!max) return std::unexpected(dbError(max.error()));
  return max->value_or(0);
}

ItemStoreResult<void> bumpRank(Database& db, const std::string& identifier) {
  auto statement = db.prepare(
      "UPDATE Items SET rank = (SELECT MAX(rank) FROM Items) + 1 WHERE itemIdentifier = ?");
  if (statement) statement->bind(1, identifier);
  return run(statement);
}

ItemStoreResult<void> writeExtendedAttributes(Database& db, const SyncItem& item) {
  const auto identifier = item.itemIdentifier.description();
  auto remove = db.prepare("DELETE FROM ItemExtendedAttributes WHERE itemIdentifier = ?");
  if (remove) remove->bind(1, identifier);
  if (auto done = run(remove); !done) return done;
  if (!item.extendedAttributes) return {};
  for (const auto& [name, value] : item.extendedAttributes->values) {
    auto insert = db.prepare("INSERT INTO ItemExtendedAttributes VALUES(?, ?, ?)");
    if (insert) insert->bind(1, identifier).bind(2, name).bindBlob(3, value);
    if (auto done = run(insert); !done) return done;
  }
  return {};
}

ItemStoreResult<void> writeRemoteLock(Database& db, const SyncItem& item) {
  const auto identifier = item.itemIdentifier.description();
  if (!item.lockInfo) {
    auto remove = db.prepare("DELETE FROM RemoteLocks WHERE itemIdentifier = ?");
    if (remove) remove->bind(1, identifier);
    return run(remove);
  }
  const auto& lock = *item.lockInfo;
  auto insert = db.prepare("INSERT OR REPLACE INTO RemoteLocks VALUES (?,?,?,?,?,?)");
  if (insert) {
    insert->bind(1, identifier)
        .bind(2, lock.identifier)
        .bind(3, lock.firstName)
        .bind(4, lock.lastName)
        .bind(5, lock.email)
        .bind(6, lock.collaborationToken);
  }
  return run(insert);
}

// The flags as stored: `hasExtendedAttributes` says whether the item has any.
SyncItemFlags derivedFlags(const SyncItem& item) {
  auto flags = item.flags;
  if (item.extendedAttributes && !item.extendedAttributes->values.empty()) {
    flags.insert(SyncItemFlags::hasExtendedAttributes);
  } else {
    flags.remove(SyncItemFlags::hasExtendedAttributes);
  }
  return flags;
}

// Whether the table holds a row of that identifier, and whether it is a tombstone.
struct StoredRow {
  bool exists = false;
  bool isTombstone = false;
};

ItemStoreResult<StoredRow> storedRow(Database& db, const std::string& identifier) {
  auto statement = db.prepare("SELECT dead FROM Items WHERE itemIdentifier = ?");
  if (!statement) return std::unexpected(dbError(statement.error()));
  statement->bind(1, identifier);
  auto row = statement->step();
  if (!row) return std::unexpected(dbError(row.error()));
  if (!*row) return StoredRow{};
  return StoredRow{true, statement->int64(0) != 0};
}

ItemStoreError refusedParentCycle(base::Logger* logger, const std::string& item,
                                  const std::string& parent) {
  if (logger) {
    TLOG_ERROR(*logger, "Refusing a change that would put a folder inside itself",
               {{"itemID", item}, {"parentID", parent}});
  }
  return ItemStoreError{SyncError(SyncError::Code::brokenTreeHierarchy)};
}

// Refuses to give `item` a parent whose chain (`chainOfParent`) holds the item: the item would
// then never reach the root.
ItemStoreResult<void> refuseParentCycle(base::Logger* logger, const SyncItemIdentifier& item,
                                        const SyncFolderIdentifier& parent,
                                        const ParentChain& chainOfParent) {
  const auto itemText = item.description();
  if (!chainOfParent.identifiers.contains(itemText)) return {};
  return std::unexpected(refusedParentCycle(logger, itemText, parent.description()));
}

ItemStoreResult<void> refuseParentCycle(Database& db, base::Logger* logger,
                                        const SyncItemIdentifier& item,
                                        const SyncFolderIdentifier& parent) {
  auto chain = parentChain(db, parent.description());
  if (!chain) return std::unexpected(chain.error());
  return refuseParentCycle(logger, item, parent, *chain);
}

// The same for a row as stored, after a move was written: its chain comes back to it.
ItemStoreResult<void> refuseParentCycle(Database& db, base::Logger* logger,
                                        const PatchedSyncItem& moved) {
  const auto itemText = moved.itemIdentifier().description();
  auto chain = parentChain(db, itemText);
  if (!chain) return std::unexpected(chain.error());
  if (chain->cycleClosesAt != itemText) return {};
  return std::unexpected(
      refusedParentCycle(logger, itemText, moved.item().parentItemIdentifier.description()));
}

enum class InsertMode {
  /// The identifier must be new to the table.
  newItem,
  /// A row of the same identifier is replaced.
  replacing,
};

// Writes the row, its extended attributes and its cloud lock; the caller has checked the parent.
ItemStoreResult<void> insertItem(Database& db, const SyncItem& item, InsertMode mode) {
  const auto flags = derivedFlags(item);
  auto insert = db.prepare(mode == InsertMode::newItem ? kInsertItem : kUpsertItem);
  if (!insert) return std::unexpected(dbError(insert.error()));
  bindItemColumns(*insert, item);
  insert->bind(1 + kFlags, flags.rawValue);
  if (auto done = insert->run(); !done) {
    // A taken identifier fails the insert (and no more than this statement); the stored row
    // says which kind of row holds it.
    if (mode == InsertMode::newItem && (done.error().code & 0xff) == SQLITE_CONSTRAINT) {
      auto stored = storedRow(db, item.itemIdentifier.description());
      if (!stored) return std::unexpected(stored.error());
      if (stored->exists) {
        return std::unexpected(
            ItemStoreError{ItemAlreadyStored{item.itemIdentifier, stored->isTombstone}});
      }
    }
    return std::unexpected(dbError(done.error()));
  }
  if (flags.contains(SyncItemFlags::hasExtendedAttributes) || item.extendedAttributes) {
    if (auto done = writeExtendedAttributes(db, item); !done) return done;
  }
  return writeRemoteLock(db, item);
}

// The same, once the item's parent is known not to lie below it.
ItemStoreResult<void> insertUnderParent(Database& db, base::Logger* logger, const SyncItem& item,
                                        InsertMode mode) {
  if (auto refused = refuseParentCycle(db, logger, item.itemIdentifier, item.parentItemIdentifier);
      !refused) {
    return refused;
  }
  return insertItem(db, item, mode);
}

ItemStoreResult<SyncItem> readStored(Database& db, const SyncItemIdentifier& identifier) {
  auto stored = readOne(db, kByIdentifier, identifier.description(), {});
  if (!stored) return std::unexpected(stored.error());
  if (!*stored) return std::unexpected(ItemStoreError{SyncError::noSuchItem(identifier)});
  return std::move(**stored);
}

// One column an update may write, with how to bind it.
struct ColumnWrite {
  const char* column;
  std::function<void(Statement&, int)> bind;
};

// Writes the patch. A new parent is not checked for cycles here: a caller writing several moves
// checks them once all are written (refuseParentCycle), so that their order does not matter.
ItemStoreResult<void> updateItem(Database& db, const PatchedSyncItem& patch) {
  const SyncItem& item = patch.item();
  const auto changes = patch.changes();
  using F = SyncItemFields;
  std::vector<ColumnWrite> writes;
  auto add = [&](F::Set bit, const char* column, std::function<void(Statement&, int)> bind) {
    if (changes.contains(bit)) writes.push_back({column, std::move(bind)});
  };
  add(F::filename, "filename", [&](Statement& s, int i) { s.bind(i, item.filename); });
  add(F::parentItemIdentifier, "parentItemIdentifier",
      [&](Statement& s, int i) { s.bind(i, item.parentItemIdentifier.description()); });
  add(F::cloudIdentifier, "cloudIdentifier", [&](Statement& s, int i) {
    if (item.cloudIdentifier) {
      s.bind(i, item.cloudIdentifier->description());
    } else {
      s.bindNull(i);
    }
  });
  add(F::permission, "permission",
      [&](Statement& s, int i) { s.bind(i, static_cast<std::int64_t>(item.permission)); });
  add(F::creationDate, "creationDate", [&](Statement& s, int i) { s.bind(i, item.creationDate); });
  add(F::contents, "contentVersion", [&](Statement& s, int i) {
    if (item.contentVersion) {
      s.bind(i, item.contentVersion->rawValue);
    } else {
      s.bindNull(i);
    }
  });
  add(F::contents, "contentSize", [&](Statement& s, int i) { s.bind(i, item.contentSize); });
  add(F::contents, "contentChecksum",
      [&](Statement& s, int i) { s.bind(i, item.contentChecksum); });
  add(F::contents, "author", [&](Statement& s, int i) { s.bind(i, item.author); });
  add(F::contents, "uploadDate", [&](Statement& s, int i) { s.bind(i, item.uploadDate); });
  add(F::contents, "cfsContentModificationDateOverride",
      [&](Statement& s, int i) { s.bind(i, item.cfsContentModificationDateOverride); });
  add(F::contentModificationDate, "contentModificationDate",
      [&](Statement& s, int i) { s.bind(i, item.contentModificationDate); });
  add(F::lastUsedDate, "lastUsedDate", [&](Statement& s, int i) { s.bind(i, item.lastUsedDate); });
  add(F::tagData, "tagData", [&](Statement& s, int i) {
    if (item.tagData) {
      s.bindBlob(i, *item.tagData);
    } else {
      s.bindNull(i);
    }
  });
  add(F::fileSystemFlags, "fileSystemFlags",
      [&](Statement& s, int i) { s.bind(i, item.fileSystemFlags); });
  add(F::typeAndCreator, "typeAndCreator",
      [&](Statement& s, int i) { s.bind(i, static_cast<std::int64_t>(item.typeAndCreator)); });
  add(F::historySize, "historySize", [&](Statement& s, int i) { s.bind(i, item.historySize); });
  add(F::hasStandardUserAccess, "hasStandardUserAccess",
      [&](Statement& s, int i) { s.bind(i, item.hasStandardUserAccess); });
  add(F::isProjectFolder, "isProjectFolder",
      [&](Statement& s, int i) { s.bind(i, item.isProjectFolder); });
  add(F::isDocumentRoom, "isDocumentRoom",
      [&](Statement& s, int i) { s.bind(i, item.isDocumentRoom); });
  add(F::revision, "revision", [&](Statement& s, int i) { s.bind(i, item.revision); });
  add(F::isMaterialized, "isMaterialized",
      [&](Statement& s, int i) { s.bind(i, item.isMaterialized); });

  std::string sql = "UPDATE Items SET ";
  for (const auto& write : writes) sql += std::string(write.column) + " = ?, ";
  sql +=
      "flags = ?, metadataVersion = metadataVersion + 1, rank = (SELECT MAX(rank) FROM Items) + 1 "
      "WHERE itemIdentifier = ? AND dead = 0";
  auto statement = db.prepare(sql);
  if (!statement) return std::unexpected(dbError(statement.error()));
  int index = 1;
  for (const auto& write : writes) write.bind(*statement, index++);
  statement->bind(index++, item.flags.rawValue);
  statement->bind(index, item.itemIdentifier.description());
  if (auto done = statement->run(); !done) return std::unexpected(dbError(done.error()));
  if (db.changes() == 0) {
    return std::unexpected(ItemStoreError{SyncError::noSuchItem(item.itemIdentifier)});
  }
  if (changes.contains(F::extendedAttributes)) {
    if (auto done = writeExtendedAttributes(db, item); !done) return done;
  }
  if (changes.contains(F::lockOwner)) {
    if (auto done = writeRemoteLock(db, item); !done) return done;
  }
  return {};
}

ItemStoreResult<bool> isOfflineRoot(Database& db, const std::string& identifier) {
  auto statement = db.prepare("SELECT 1 FROM OfflineFolders WHERE itemIdentifier = ?");
  if (!statement) return std::unexpected(dbError(statement.error()));
  statement->bind(1, identifier);
  auto row = statement->step();
  if (!row) return std::unexpected(dbError(row.error()));
  return *row;
}

ItemStoreResult<void> markDeleted(Database& db, const SyncItemIdentifier& identifier,
                                  const std::optional<CloudEntryIdentifier>& baseContentVersion,
                                  bool delayed, bool includingSubscriptionRoot,
                                  std::int64_t* markedCount = nullptr) {
  const auto root = identifier.description();
  auto offline = isOfflineRoot(db, root);
  if (!offline) return std::unexpected(offline.error());
  if (*offline && !includingSubscriptionRoot) return {};
  std::vector<std::string> pending{root};
  std::vector<std::string> marked;
  // A damaged tree may lead back to a row already met: each row is marked once.
  std::unordered_set<std::string> seen{root};
  while (!pending.empty()) {
    const std::string current = std::move(pending.back());
    pending.pop_back();
    marked.push_back(current);
    auto children = db.prepare(
        "SELECT Items.itemIdentifier, Items.filename, OfflineFolders.state FROM Items LEFT JOIN "
        "OfflineFolders ON Items.itemIdentifier = OfflineFolders.itemIdentifier WHERE "
        "Items.parentItemIdentifier = ? AND Items.dead = 0");
    if (!children) return std::unexpected(dbError(children.error()));
    children->bind(1, current);
    while (true) {
      auto row = children->step();
      if (!row) return std::unexpected(dbError(row.error()));
      if (!*row) break;
      if (!children->isNull(2) && !includingSubscriptionRoot) continue;
      if (auto child = children->text(0); seen.insert(child).second) {
        pending.push_back(std::move(child));
      }
    }
  }
  for (const auto& current : marked) {
    auto update = db.prepare(
        "UPDATE Items SET dead = ?3, contentVersion = IFNULL(?2, contentVersion), rank = (SELECT "
        "MAX(rank) FROM Items) + 1 WHERE itemIdentifier = ?1");
    if (!update) return std::unexpected(dbError(update.error()));
    update->bind(1, current).bind(3, std::int64_t{delayed ? 2 : 1});
    if (current == root && baseContentVersion) {
      update->bind(2, baseContentVersion->rawValue);
    } else {
      update->bindNull(2);
    }
    if (auto done = update->run(); !done) return std::unexpected(dbError(done.error()));
    if (current == root && db.changes() == 0) {
      return std::unexpected(ItemStoreError{SyncError::noSuchItem(identifier)});
    }
  }
  if (markedCount) *markedCount += static_cast<std::int64_t>(marked.size());
  return {};
}
}  // namespace

ItemStoreResult<BeginNewItemResult> SyncItemStorage::beginNewItem(
    const SyncFolderIdentifier& under, const std::string& filename,
    const std::optional<std::string>& systemItemIdentifier, bool isFolder) {
  (void)isFolder;
  return read<BeginNewItemResult>([&](Database& db) -> ItemStoreResult<BeginNewItemResult> {
    auto parent = readOne(db, kByIdentifier, under.description(), {});
    if (!parent) return std::unexpected(parent.error());
    if (!*parent) return std::unexpected(ItemStoreError{SyncError::noSuchItem(under)});
    BeginNewItemResult result{std::move(**parent), std::nullopt, false};
    auto existing = readChild(db, under, filename, {});
    if (!existing) return std::unexpected(existing.error());
    result.existingItem = std::move(*existing);
    if (systemItemIdentifier) {
      auto retry = readOne(db, kBySystemIdentifier, *systemItemIdentifier,
                           SyncItemReadOptions::skipExtendedAttributes);
      if (!retry) return std::unexpected(retry.error());
      result.retryDetected = retry->has_value();
    }
    return result;
  });
}

ItemStoreResult<SyncItem> SyncItemStorage::storeNewItem(const SyncItem& item) {
  auto stored = write<SyncItem>([&](Database& db) -> ItemStoreResult<SyncItem> {
    if (auto done = insertUnderParent(db, logger_.get(), item, InsertMode::newItem); !done) {
      return std::unexpected(done.error());
    }
    return readStored(db, item.itemIdentifier);
  });
  if (!stored && logger_) {
    if (const auto* existing = stored.error().alreadyStored()) {
      TLOG_ERROR(
          *logger_, "Storing new item failed: the identifier is already stored",
          {{"itemID", existing->identifier.description()}, {"tombstone", existing->isTombstone}});
    }
  }
  return stored;
}

ItemStoreResult<SyncItem> SyncItemStorage::setRootItem(const SyncItem& item) {
  return write<SyncItem>([&](Database& db) -> ItemStoreResult<SyncItem> {
    if (auto done = insertUnderParent(db, logger_.get(), item, InsertMode::replacing); !done) {
      return std::unexpected(done.error());
    }
    auto root = db.prepare("INSERT OR REPLACE INTO RootItem VALUES (?)");
    if (root) root->bind(1, item.itemIdentifier.description());
    if (auto done = run(root); !done) return std::unexpected(done.error());
    return readStored(db, item.itemIdentifier);
  });
}

ItemStoreResult<SyncItem> SyncItemStorage::update(const PatchedSyncItem& item) {
  return write<SyncItem>([&](Database& db) -> ItemStoreResult<SyncItem> {
    if (auto done = updateItem(db, item); !done) return std::unexpected(done.error());
    if (item.changes().contains(SyncItemFields::parentItemIdentifier)) {
      if (auto refused = refuseParentCycle(db, logger_.get(), item); !refused) {
        return std::unexpected(refused.error());
      }
    }
    return readStored(db, item.itemIdentifier());
  });
}

ItemStoreResult<void> SyncItemStorage::apply(const SyncItemListPatch& patch,
                                             bool skipItemsBeingCreated) {
  return apply(patch, skipItemsBeingCreated, nullptr);
}

ItemStoreResult<void> SyncItemStorage::apply(
    const SyncItemListPatch& patch, bool skipItemsBeingCreated,
    const std::function<ItemStoreResult<void>(Database&)>& alsoInTransaction) {
  std::multiset<ItemBeingCreated> beingCreated;
  if (skipItemsBeingCreated) {
    std::lock_guard lock(mutex_);
    beingCreated = itemsBeingCreated_;
  }
  return write<void>([&](Database& db) -> ItemStoreResult<void> {
    // A listing's created items share their parent: its chain is read once.
    std::map<std::string, ParentChain> parentChains;
    for (const auto& item : patch.createdItems) {
      if (!beingCreated.empty() &&
          beingCreated.contains(ItemBeingCreated{item.filename, item.parentItemIdentifier})) {
        continue;
      }
      const auto parent = item.parentItemIdentifier.description();
      auto chain = parentChains.find(parent);
      if (chain == parentChains.end()) {
        auto read = parentChain(db, parent);
        if (!read) return std::unexpected(read.error());
        chain = parentChains.emplace(parent, std::move(*read)).first;
      }
      if (auto refused = refuseParentCycle(logger_.get(), item.itemIdentifier,
                                           item.parentItemIdentifier, chain->second);
          !refused) {
        return refused;
      }
      if (auto done = insertItem(db, item, InsertMode::newItem); !done) {
        const auto* existing = done.error().alreadyStored();
        if (!existing) return done;
        if (logger_) {
          TLOG_WARNING(*logger_, "Created item is already stored; the stored row is kept",
                       {{"itemID", existing->identifier.description()},
                        {"tombstone", existing->isTombstone}});
        }
        continue;
      }
      // A chain that ended at this identifier (rows naming it as their parent before it was
      // stored) goes on above it now.
      std::erase_if(parentChains, [&](const auto& entry) {
        return entry.second.identifiers.contains(item.itemIdentifier.description());
      });
    }
    std::vector<const PatchedSyncItem*> moved;
    for (const auto& item : patch.modifiedItems) {
      if (!item.hasChanges()) continue;
      if (auto done = updateItem(db, item); !done) return done;
      if (item.changes().contains(SyncItemFields::parentItemIdentifier)) moved.push_back(&item);
    }
    // Moves are judged once all are written, so that their order in the patch does not matter.
    for (const auto* item : moved) {
      if (auto refused = refuseParentCycle(db, logger_.get(), *item); !refused) return refused;
    }
    for (const auto& item : patch.movedAwayItems) {
      if (auto done = markDeleted(db, item.itemIdentifier, std::nullopt, false, false); !done) {
        // Already gone is what we wanted.
        if (done.error().syncError() &&
            done.error().syncError()->code() == SyncError::Code::noSuchItem) {
          continue;
        }
        return done;
      }
    }
    if (alsoInTransaction) return alsoInTransaction(db);
    return {};
  });
}

ItemStoreResult<void> SyncItemStorage::deleteItem(
    const SyncItemIdentifier& identifier,
    const std::optional<CloudEntryIdentifier>& baseContentVersion, bool delayed,
    bool includingSubscriptionRoot) {
  return write<void>([&](Database& db) {
    return markDeleted(db, identifier, baseContentVersion, delayed, includingSubscriptionRoot);
  });
}

ItemStoreResult<void> SyncItemStorage::undeleteItem(const SyncItemIdentifier& identifier) {
  return write<void>([&](Database& db) -> ItemStoreResult<void> {
    auto statement = db.prepare(
        "UPDATE Items SET dead = 0, rank = (SELECT MAX(rank) FROM Items) + 1 WHERE itemIdentifier "
        "= ?");
    if (statement) statement->bind(1, identifier.description());
    if (auto done = run(statement); !done) return done;
    if (db.changes() == 0)
      return std::unexpected(ItemStoreError{SyncError::noSuchItem(identifier)});
    return {};
  });
}

ItemStoreResult<void> SyncItemStorage::refreshItem(const SyncItemIdentifier& identifier) {
  return write<void>([&](Database& db) { return bumpRank(db, identifier.description()); });
}

ItemStoreResult<SyncItem> SyncItemStorage::markItemAsMaterialized(
    const SyncItemIdentifier& identifier) {
  return write<SyncItem>([&](Database& db) -> ItemStoreResult<SyncItem> {
    auto statement = db.prepare(
        "UPDATE Items SET isMaterialized = 1, rank = (SELECT MAX(rank) FROM Items) + 1 WHERE "
        "itemIdentifier = ? AND dead = 0");
    if (statement) statement->bind(1, identifier.description());
    if (auto done = run(statement); !done) return std::unexpected(done.error());
    return readStored(db, identifier);
  });
}

ItemStoreResult<void> SyncItemStorage::updateItemSkippedFlag(const SyncItemIdentifier& identifier,
                                                             bool isSkipped) {
  return write<void>([&](Database& db) -> ItemStoreResult<void> {
    auto statement = db.prepare(
        "UPDATE Items SET isSkipped = ?2, rank = (SELECT MAX(rank) FROM Items) + 1 WHERE "
        "itemIdentifier = ?1 AND dead = 0");
    if (statement) statement->bind(1, identifier.description()).bind(2, isSkipped);
    if (auto done = run(statement); !done) return done;
    if (db.changes() == 0)
      return std::unexpected(ItemStoreError{SyncError::noSuchItem(identifier)});
    // A row is ancestor-skipped while any folder above it is skipped: what the item passes down
    // is its own flag or its ancestors', and each row below passes on that or its own flag. The
    // walk leaves out the item itself, so that a damaged tree that leads back to it ends there.
    auto self = readStored(db, identifier);
    if (!self) return std::unexpected(self.error());
    const bool passedDown = isSkipped || self->isAncestorSkipped;
    auto max = maxRank(db);
    if (!max) return std::unexpected(max.error());
    auto propagate = db.prepare(
        "WITH RECURSIVE subtree(id, level, inherited, passed) AS (SELECT ?1, 0, ?3, ?3 UNION ALL "
        "SELECT Items.itemIdentifier, subtree.level + 1, subtree.passed, subtree.passed OR "
        "Items.isSkipped FROM Items JOIN subtree ON Items.parentItemIdentifier = subtree.id WHERE "
        "Items.dead = 0 AND Items.itemIdentifier != ?1) "
        "UPDATE Items SET isAncestorSkipped = subtree.inherited, rank = ?4 + 1 + subtree.level "
        "FROM subtree WHERE Items.itemIdentifier = subtree.id AND (subtree.level > 0 OR ?2) AND "
        "Items.isAncestorSkipped != subtree.inherited");
    if (propagate) {
      propagate->bind(1, identifier.description()).bind(2, false).bind(3, passedDown).bind(4, *max);
    }
    return run(propagate);
  });
}

ItemStoreResult<void> SyncItemStorage::updateRealm(const SyncItemIdentifier& identifier,
                                                   SyncItemRealm realm) {
  return write<void>([&](Database& db) -> ItemStoreResult<void> {
    const auto target = static_cast<std::int64_t>(realm);
    {
      auto alive = db.prepare("SELECT 1 FROM Items WHERE itemIdentifier = ? AND dead = 0");
      if (!alive) return std::unexpected(dbError(alive.error()));
      alive->bind(1, identifier.description());
      auto found = alive->step();
      if (!found) return std::unexpected(dbError(found.error()));
      if (!*found) return std::unexpected(ItemStoreError{SyncError::noSuchItem(identifier)});
    }

    // The item is the border of the realm change only when its parent lies in the other realm;
    // below a parent that is already in `realm` there is nothing to move. The walk down never
    // comes back to the item, so that a damaged tree that leads back to it ends there.
    auto collect = db.prepare(
        "WITH RECURSIVE subtree(id, level) AS (SELECT Items.itemIdentifier, 0 FROM Items JOIN "
        "Items AS parent ON parent.itemIdentifier = Items.parentItemIdentifier WHERE "
        "Items.itemIdentifier = ?1 AND Items.dead = 0 AND parent.itemRealm != ?2 UNION ALL "
        "SELECT Items.itemIdentifier, subtree.level + 1 FROM Items JOIN subtree ON "
        "Items.parentItemIdentifier = subtree.id WHERE Items.dead = 0 AND Items.itemIdentifier "
        "!= ?1) "
        "SELECT subtree.id, Items.itemRealm FROM subtree JOIN Items ON Items.itemIdentifier = "
        "subtree.id ORDER BY subtree.level DESC");
    if (!collect) return std::unexpected(dbError(collect.error()));
    collect->bind(1, identifier.description()).bind(2, target);
    std::vector<std::pair<std::string, std::int64_t>> rows;
    while (true) {
      auto row = collect->step();
      if (!row) return std::unexpected(dbError(row.error()));
      if (!*row) break;
      rows.emplace_back(collect->text(0), collect->int64(1));
    }
    if (rows.empty()) return {};
    auto max = maxRank(db);
    if (!max) return std::unexpected(max.error());
    auto update = db.prepare(
        "UPDATE Items SET itemRealm = ?2, metadataVersion = metadataVersion + 1, rank = ?3 "
        "WHERE itemIdentifier = ?1");
    auto locks = db.prepare(
        "DELETE FROM RemoteLocks WHERE itemIdentifier = ?1 AND NOT EXISTS (SELECT 1 FROM "
        "LocalLocks WHERE LocalLocks.itemIdentifier = ?1)");
    auto listings = db.prepare("DELETE FROM Listings WHERE folderIdentifier = ?");
    if (!update) return std::unexpected(dbError(update.error()));
    if (!locks) return std::unexpected(dbError(locks.error()));
    if (!listings) return std::unexpected(dbError(listings.error()));
    std::int64_t rowNumber = 0;
    for (const auto& [id, currentRealm] : rows) {
      if (currentRealm != target) {
        update->reset();
        update->bind(1, id).bind(2, target).bind(3, *max + 1 + rowNumber++);
        if (auto done = run(update); !done) return done;
      }
      // What was known about the subtree in its old realm no longer holds.
      locks->reset();
      locks->bind(1, id);
      if (auto done = run(locks); !done) return done;
      listings->reset();
      listings->bind(1, id);
      if (auto done = run(listings); !done) return done;
    }
    return {};
  });
}

ItemStoreResult<void> SyncItemStorage::updateLastFailedUploadDetails(
    const SyncItemIdentifier& identifier, const std::optional<CloudEntryIdentifier>& baseVersion,
    const std::optional<std::string>& checksum) {
  return write<void>([&](Database& db) -> ItemStoreResult<void> {
    auto statement = db.prepare(
        "UPDATE Items SET lastFailedUploadBaseVersion = ?2, lastFailedUploadChecksum = ?3 WHERE "
        "itemIdentifier = ?1;");
    if (statement) {
      statement->bind(1, identifier.description()).bind(3, checksum);
      if (baseVersion) {
        statement->bind(2, baseVersion->rawValue);
      } else {
        statement->bindNull(2);
      }
    }
    return run(statement);
  });
}

ItemStoreResult<void> SyncItemStorage::purgeGraveyard(std::int64_t fromRank, std::int64_t toRank) {
  auto result = write<void>([&](Database& db) -> ItemStoreResult<void> {
    auto purge = db.prepare("DELETE FROM Items WHERE (rank BETWEEN ? AND ?) AND dead = 1");
    if (purge) purge->bind(1, fromRank).bind(2, toRank);
    if (auto done = run(purge); !done) return done;
    auto record = db.prepare("UPDATE DomainData SET graveyardRank = ?");
    if (record) record->bind(1, toRank);
    return run(record);
  });
  if (result) graveyardRank_ = toRank;
  return result;
}

namespace {

std::string withoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool isDeletion(const std::string& action) {
  return action == "DELETE_FILE" || action == "DELETE_FOLDER";
}

}  // namespace

ItemStoreResult<ApplyEventsStats> SyncItemStorage::apply(
    const std::vector<ItemStoreEvent>& events, std::int64_t snapshotRevision,
    const std::set<SyncFolderIdentifier>& listedFolders) {
  const std::string start = withoutTrailingSlash(cloudStartPath_);
  // The path below the drive root ("" for the root itself); none outside the drive.
  auto relative = [&](const std::string& path) -> std::optional<std::string> {
    auto absolute = withoutTrailingSlash(path);
    if (start.empty() || start == "/") return absolute == "/" ? std::string() : absolute;
    if (absolute == start) return std::string();
    if (absolute.starts_with(start + "/")) return absolute.substr(start.size());
    return std::nullopt;
  };
  // Where a later event of the batch puts something again, a deletion is old news.
  auto reappears = [&](std::size_t index, const std::string& path) {
    const auto absolute = withoutTrailingSlash(path);
    for (std::size_t later = index + 1; later < events.size(); ++later) {
      const auto& target = events[later].targetPath;
      if (target && withoutTrailingSlash(*target) == absolute && !isDeletion(events[later].action))
        return true;
    }
    return false;
  };
  auto result = write<ApplyEventsStats>([&](Database& db) -> ItemStoreResult<ApplyEventsStats> {
    ApplyEventsStats stats;
    auto root = rootIdentifier(db);
    if (!root) return std::unexpected(root.error());
    for (std::size_t index = 0; index < events.size(); ++index) {
      const auto& event = events[index];
      const auto& path = event.targetPath ? event.targetPath : event.sourcePath;
      if (!isDeletion(event.action) || !path) {
        ++stats.skippedEvents;
        continue;
      }
      auto below = relative(*path);
      if (!below || below->empty()) {
        // Outside the drive, or the drive's root itself: a listing tells what became of it.
        ++stats.eventsWithUndiscoveredLocations;
        continue;
      }
      auto found = walkPath(db, *root, *below, PathMatch::ignoringCase, std::nullopt);
      if (!found) return std::unexpected(found.error());
      if (!*found) {
        ++stats.eventsWithUndiscoveredLocations;
        continue;
      }
      if (reappears(index, *path) || listedFolders.contains((*found)->parentItemIdentifier)) {
        ++stats.skippedEvents;
        continue;
      }
      if (auto done = markDeleted(db, (*found)->itemIdentifier, std::nullopt, false, false,
                                  &stats.deletedItems);
          !done) {
        return std::unexpected(done.error());
      }
    }
    auto record = db.prepare("UPDATE DomainData SET snapshotRevision = ?");
    if (record) record->bind(1, snapshotRevision);
    if (auto done = run(record); !done) return std::unexpected(done.error());
    auto highest = maxRank(db);
    if (!highest) return std::unexpected(highest.error());
    stats.highestRank = *highest;
    return stats;
  });
  if (result) snapshotRevision_ = snapshotRevision;
  return result;
}

ItemStoreResult<void> SyncItemStorage::setSnapshotRevision(std::int64_t revision) {
  auto result = write<void>([&](Database& db) {
    auto record = db.prepare("UPDATE DomainData SET snapshotRevision = ?");
    if (record) record->bind(1, revision);
    return run(record);
  });
  if (result) snapshotRevision_ = revision;
  return result;
}

void SyncItemStorage::willStartCreatingNewItem(const std::string& fileName,
                                               const SyncFolderIdentifier& under) {
  std::lock_guard lock(mutex_);
  itemsBeingCreated_.insert(ItemBeingCreated{fileName, under});
}

void SyncItemStorage::didFinishCreatingNewItem(const ItemBeingCreated& item) {
  std::lock_guard lock(mutex_);
  if (auto found = itemsBeingCreated_.find(item); found != itemsBeingCreated_.end()) {
    itemsBeingCreated_.erase(found);
  }
}

bool SyncItemStorage::isBeingCreated(const ItemBeingCreated& item) const {
  std::lock_guard lock(mutex_);
  return itemsBeingCreated_.contains(item);
}

}  // namespace tarnix::common
