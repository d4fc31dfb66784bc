#include "common/detail/ItemStorageQueries.hpp"

#include <algorithm>
#include <unordered_set>

#include "common/detail/ItemRows.hpp"

namespace tarnix::common::detail {

namespace {
ItemStoreError dbError(DatabaseError error) {
  return ItemStoreError{std::move(error)};
}

// Reads reserve room for at most this many items up front; larger results grow as they come.
constexpr std::int64_t kReserveCap = 4096;

std::vector<std::string> pathComponents(const std::string& path) {
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) components.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return components;
}

std::string trimSlashes(const std::string& path) {
  size_t begin = path.find_first_not_of('/');
  if (begin == std::string::npos) return "";
  size_t end = path.find_last_not_of('/');
  return path.substr(begin, end - begin + 1);
}

struct ParentLink {
  std::optional<SyncFolderIdentifier> parent;
  std::string filename;
};

ItemStoreResult<std::optional<ParentLink>> parentLink(Database& db, const std::string& identifier) {
  auto statement = db.prepare(
      "SELECT parentItemIdentifier, filename FROM Items WHERE itemIdentifier = ? AND dead = 0");
  if (!statement) return std::unexpected(dbError(statement.error()));
  statement->bind(1, identifier);
  auto row = statement->step();
  if (!row) return std::unexpected(dbError(row.error()));
  if (!*row) return std::optional<ParentLink>{};
  ParentLink link;
  if (!statement->isNull(0)) link.parent = SyncFolderIdentifier::fromPrefixed(statement->text(0));
  link.filename = statement->text(1);
  return std::optional<ParentLink>{std::move(link)};
}
}  // namespace

ItemStoreResult<void> fillExtras(Database& db, SyncItem& item, SyncItemReadOptions options) {
  const auto identifier = item.itemIdentifier.description();
  if (!options.contains(SyncItemReadOptions::skipExtendedAttributes) &&
      item.flags.contains(SyncItemFlags::hasExtendedAttributes)) {
    auto statement = db.prepare(
        "SELECT attributeName, attributeData FROM ItemExtendedAttributes WHERE itemIdentifier = ?");
    if (!statement) return std::unexpected(dbError(statement.error()));
    statement->bind(1, identifier);
    SyncExtendedAttributes attributes;
    while (true) {
      auto row = statement->step();
      if (!row) return std::unexpected(dbError(row.error()));
      if (!*row) break;
      attributes.values[statement->text(0)] = statement->blob(1);
    }
    item.extendedAttributes = std::move(attributes);
  }
  // Only folders can be offline-folder roots.
  if (!options.contains(SyncItemReadOptions::skipSubscriptionState) && item.isFolder()) {
    auto statement = db.prepare("SELECT state FROM OfflineFolders WHERE itemIdentifier = ?");
    if (!statement) return std::unexpected(dbError(statement.error()));
    statement->bind(1, identifier);
    auto row = statement->step();
    if (!row) return std::unexpected(dbError(row.error()));
    if (*row) item.subscriptionState = offlineFolderStateFromRaw(statement->int64(0));
  }
  if (options.contains(SyncItemReadOptions::includeLocalLocks) && !item.isFolder()) {
    auto statement = db.prepare("SELECT * FROM LocalLocks WHERE itemIdentifier = ?");
    if (!statement) return std::unexpected(dbError(statement.error()));
    statement->bind(1, identifier);
    auto row = statement->step();
    if (!row) return std::unexpected(dbError(row.error()));
    if (*row) {
      LocalLock lock;
      lock.fileIdentifier = *item.itemIdentifier.file();
      lock.token = statement->optionalText(1);
      lock.creationDate = statement->date(2).value_or(base::Date{});
      lock.needsRelockBefore = statement->date(3).value_or(lock.creationDate);
      lock.expirationDate = statement->date(4).value_or(lock.creationDate);
      lock.source = LocalLockSource{statement->int64(5)};
      lock.lockingApplications = splitApplications(statement->optionalText(6).value_or(""),
                                                   statement->optionalText(7).value_or(""));
      item.localLock = std::move(lock);
    }
  }
  return {};
}

ItemStoreResult<std::optional<SyncItem>> readOne(Database& db, const char* sql,
                                                 const std::string& argument,
                                                 SyncItemReadOptions options) {
  auto statement = db.prepare(sql);
  if (!statement) return std::unexpected(dbError(statement.error()));
  statement->bind(1, argument);
  auto row = statement->step();
  if (!row) return std::unexpected(dbError(row.error()));
  if (!*row) return std::optional<SyncItem>{};
  auto item = itemFromRow(*statement);
  if (!item) {
    auto e = item.error();
    e.path = db.path();
    return std::unexpected(dbError(e));
  }
  if (auto extras = fillExtras(db, *item, options); !extras) return std::unexpected(extras.error());
  return std::optional<SyncItem>{std::move(*item)};
}

ItemStoreResult<std::optional<SyncItem>> readChild(Database& db, const SyncFolderIdentifier& parent,
                                                   const std::string& filename,
                                                   SyncItemReadOptions options) {
  auto statement = db.prepare(kChild);
  if (!statement) return std::unexpected(dbError(statement.error()));
  statement->bind(1, parent.description()).bind(2, filename);
  auto row = statement->step();
  if (!row) return std::unexpected(dbError(row.error()));
  if (!*row) return std::optional<SyncItem>{};
  auto item = itemFromRow(*statement);
  if (!item) return std::unexpected(dbError(item.error()));
  if (auto extras = fillExtras(db, *item, options); !extras) return std::unexpected(extras.error());
  return std::optional<SyncItem>{std::move(*item)};
}

ItemStoreResult<std::vector<SyncItem>> readMany(Database& db, const char* sql,
                                                const std::vector<std::string>& arguments,
                                                SyncItemReadOptions options,
                                                std::optional<std::int64_t> limit) {
  auto statement = db.prepare(sql);
  if (!statement) return std::unexpected(dbError(statement.error()));
  int index = 1;
  for (const auto& argument : arguments) statement->bind(index++, argument);
  if (limit) statement->bind(index, *limit);
  std::vector<SyncItem> items;
  if (limit) items.reserve(static_cast<size_t>(std::clamp<std::int64_t>(*limit, 0, kReserveCap)));
  while (true) {
    auto row = statement->step();
    if (!row) return std::unexpected(dbError(row.error()));
    if (!*row) break;
    if (auto read = readItemRow(*statement, items.emplace_back()); !read) {
      return std::unexpected(dbError(read.error()));
    }
  }
  for (auto& item : items) {
    if (auto extras = fillExtras(db, item, options); !extras) {
      return std::unexpected(extras.error());
    }
  }
  return items;
}

ItemStoreResult<SyncItemIdentifier> rootIdentifier(Database& db) {
  auto statement = db.prepare("SELECT itemIdentifier FROM RootItem");
  if (!statement) return std::unexpected(dbError(statement.error()));
  auto row = statement->step();
  if (!row) return std::unexpected(dbError(row.error()));
  if (!*row) {
    return std::unexpected(ItemStoreError{SyncError::noSuchItem(SyncFolderIdentifier::zero())});
  }
  auto identifier = SyncItemIdentifier::fromPrefixed(statement->text(0));
  if (!identifier) {
    return std::unexpected(dbError(DatabaseError{
        DatabaseError::Kind::invalidValue, 0, "the root item identifier is invalid", db.path()}));
  }
  return *identifier;
}

ItemStoreResult<std::optional<SyncItem>> walkPath(Database& db, const SyncItemIdentifier& start,
                                                  const std::string& path, PathMatch match,
                                                  std::optional<SyncItemRealm> realm) {
  auto current = readOne(db, kByIdentifier, start.description(), {});
  if (!current || !*current) return current;
  for (const auto& component : pathComponents(path)) {
    const auto* folder = (*current)->itemIdentifier.folder();
    if (!folder) return std::optional<SyncItem>{};
    if (match == PathMatch::ignoringCase) {
      current = readChild(db, *folder, component, {});
    } else {
      auto statement = db.prepare(
          "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
          "RemoteLocks.itemIdentifier) WHERE Items.parentItemIdentifier = ?1 AND "
          "Items.filename = ?2 COLLATE BINARY AND Items.itemRealm = ?3 AND dead = 0");
      if (!statement) return std::unexpected(dbError(statement.error()));
      statement->bind(1, folder->description())
          .bind(2, component)
          .bind(3, static_cast<std::int64_t>(realm.value_or(SyncItemRealm::offline)));
      auto row = statement->step();
      if (!row) return std::unexpected(dbError(row.error()));
      if (!*row) return std::optional<SyncItem>{};
      auto item = itemFromRow(*statement);
      if (!item) return std::unexpected(dbError(item.error()));
      current = std::optional<SyncItem>{std::move(*item)};
    }
    if (!current || !*current) return current;
  }
  if (auto extras = fillExtras(db, **current, {}); !extras) return std::unexpected(extras.error());
  return current;
}

ItemStoreResult<std::optional<SyncItem>> findInOfflineFolder(Database& db,
                                                             const std::string& path) {
  const std::string wanted = trimSlashes(path);
  auto statement = db.prepare("SELECT itemIdentifier, path FROM OfflineFolders");
  if (!statement) return std::unexpected(dbError(statement.error()));
  std::optional<std::pair<std::string, std::string>> best;
  while (true) {
    auto row = statement->step();
    if (!row) return std::unexpected(dbError(row.error()));
    if (!*row) break;
    const std::string folderPath = trimSlashes(statement->text(1));
    const bool inside = wanted == folderPath || wanted.starts_with(folderPath + "/");
    if (inside && (!best || folderPath.size() > best->second.size())) {
      best = std::pair{statement->text(0), folderPath};
    }
  }
  if (!best) return std::optional<SyncItem>{};
  auto root = SyncItemIdentifier::fromPrefixed(best->first);
  if (!root) return std::optional<SyncItem>{};
  return walkPath(db, *root, wanted.substr(best->second.size()), PathMatch::exactly,
                  SyncItemRealm::offline);
}

ItemStoreResult<std::string> cloudPathOf(Database& db, const SyncItemIdentifier& identifier) {
  auto root = rootIdentifier(db);
  if (!root) return std::unexpected(root.error());
  std::vector<std::string> names;
  std::string current = identifier.description();
  const std::string rootText = root->description();
  std::unordered_set<std::string> visited;
  for (int depth = 0; current != rootText; ++depth) {
    // A folder met twice is a cycle that never reaches the root.
    if (!visited.insert(current).second) {
      return std::unexpected(ItemStoreError{SyncError(SyncError::Code::brokenTreeHierarchy)});
    }
    auto link = parentLink(db, current);
    if (!link) return std::unexpected(link.error());
    if (!*link) {
      if (depth == 0) return std::unexpected(ItemStoreError{SyncError::noSuchItem(identifier)});
      return std::unexpected(ItemStoreError{SyncError(SyncError::Code::brokenTreeHierarchy)});
    }
    if (!(*link)->parent) {
      return std::unexpected(ItemStoreError{SyncError(SyncError::Code::brokenTreeHierarchy)});
    }
    names.push_back((*link)->filename);
    current = (*link)->parent->description();
  }
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += "/" + *it;
  return path.empty() ? "/" : path;
}

ItemStoreResult<std::optional<std::string>> offlinePathOf(Database& db,
                                                          const SyncItemIdentifier& identifier) {
  auto folderPath = db.prepare("SELECT path FROM OfflineFolders WHERE itemIdentifier = ?");
  if (!folderPath) return std::unexpected(dbError(folderPath.error()));
  std::vector<std::string> names;
  std::string current = identifier.description();
  std::unordered_set<std::string> visited;
  // Ends at the offline folder, at the top of the tree, or where a cycle comes back on itself.
  while (visited.insert(current).second) {
    folderPath->reset();
    folderPath->bind(1, current);
    auto row = folderPath->step();
    if (!row) return std::unexpected(dbError(row.error()));
    if (*row) {
      std::string path = trimSlashes(folderPath->text(0));
      for (auto it = names.rbegin(); it != names.rend(); ++it) path += "/" + *it;
      return std::optional<std::string>{path};
    }
    auto link = parentLink(db, current);
    if (!link) return std::unexpected(link.error());
    if (!*link || !(*link)->parent) return std::optional<std::string>{};
    names.push_back((*link)->filename);
    current = (*link)->parent->description();
  }
  return std::unexpected(ItemStoreError{SyncError(SyncError::Code::brokenTreeHierarchy)});
}

ItemStoreResult<ParentChain> parentChain(Database& db, const std::string& from) {
  auto statement = db.prepare("SELECT parentItemIdentifier FROM Items WHERE itemIdentifier = ?");
  if (!statement) return std::unexpected(dbError(statement.error()));
  ParentChain chain;
  std::string current = from;
  while (chain.identifiers.insert(current).second) {
    statement->reset();
    statement->bind(1, current);
    auto row = statement->step();
    if (!row) return std::unexpected(dbError(row.error()));
    if (!*row || statement->isNull(0)) return chain;
    current = statement->text(0);
  }
  chain.cycleClosesAt = std::move(current);
  return chain;
}

ItemStoreResult<SyncChangeBatch> readChanges(Database& db,
                                             const std::optional<SyncFolderIdentifier>& container,
                                             SyncAnchor anchor, size_t maxBatchSize,
                                             base::Logger* logger) {
  // Rows are stepped only as far as the batch needs.
  auto statement = db.prepare(container ? kChildChanges : kAllChanges);
  if (!statement) return std::unexpected(dbError(statement.error()));
  int index = 1;
  if (container) statement->bind(index++, container->description());
  statement->bind(index, anchor.rank);
  SyncChangeBatch batch;
  batch.lastRank = anchor;
  batch.updatedItems.reserve(std::min<size_t>(maxBatchSize, kReserveCap));
  while (true) {
    auto row = statement->step();
    if (!row) return std::unexpected(dbError(row.error()));
    if (!*row) break;
    const std::int64_t rank = statement->int64(kRank);
    // Rows sharing a rank go in one batch: the next anchor is that rank, so a split group
    // would lose its remaining rows.
    if (batch.changeCount >= maxBatchSize && rank != batch.lastRank.rank) {
      batch.moreComing = true;
      break;
    }
    batch.lastRank.rank = rank;
    ++batch.changeCount;
    if (statement->int64(kDead) != 0) {
      if (auto identifier = SyncItemIdentifier::fromPrefixed(statement->text(kItemIdentifier))) {
        batch.deletedItemIdentifiers.push_back(std::move(*identifier));
      }
      continue;
    }
    // Built in place: a batch holds many large items.
    if (auto read = readItemRow(*statement, batch.updatedItems.emplace_back()); !read) {
      batch.updatedItems.pop_back();
      if (logger) {
        TLOG_WARNING(*logger, "Skipping malformed item row",
                     {{"error", read.error().description()}});
      }
    }
  }
  for (auto& item : batch.updatedItems) {
    if (auto extras = fillExtras(db, item, {}); !extras) return std::unexpected(extras.error());
  }
  return batch;
}

}  // namespace tarnix::common::detail
