#include "common/SyncItemStorage.hpp"

#include "common/detail/ItemRows.hpp"
#include "common/detail/ItemStorageQueries.hpp"
#include "common/detail/SyncItemStorageTransactions.hpp"

namespace tarnix::common {

using namespace detail;

std::string ItemStoreError::description() const {
  if (auto* sync = std::get_if<SyncError>(&value)) return sync->description();
  if (auto* db = std::get_if<DatabaseError>(&value)) return db->description();
  if (auto* stored = std::get_if<ItemAlreadyStored>(&value)) {
    return "Item " + stored->identifier.description() + " is already stored" +
           (stored->isTombstone ? " as a deleted item" : "");
  }
  const auto& expired = std::get<SyncAnchorExpired>(value);
  return "Sync anchor " + std::to_string(expired.anchor.rank) + " expired (graveyard at " +
         std::to_string(expired.graveyardRank) + ")";
}

bool ItemStoreError::isParentCycle() const {
  const auto* sync = syncError();
  return sync && sync->code() == SyncError::Code::brokenTreeHierarchy;
}

// MARK: Publisher

SyncItemStoragePublisher::Token SyncItemStoragePublisher::subscribe(
    std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  const Token token = next_++;
  subscribers_.emplace(token, std::move(callback));
  return token;
}

void SyncItemStoragePublisher::unsubscribe(Token token) {
  std::lock_guard lock(mutex_);
  subscribers_.erase(token);
}

void SyncItemStoragePublisher::send() {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [token, callback] : subscribers_) callbacks.push_back(callback);
  }
  for (const auto& callback : callbacks) callback();
}

// MARK: Construction

SyncItemStorage::SyncItemStorage(std::shared_ptr<DatabaseQueue> dbQueue, std::string cloudStartPath,
                                 std::shared_ptr<base::Logger> logger)
    : dbQueue_(std::move(dbQueue)),
      cloudStartPath_(std::move(cloudStartPath)),
      logger_(std::move(logger)) {}

ItemStoreResult<std::unique_ptr<SyncItemStorage>> SyncItemStorage::make(
    std::shared_ptr<DatabaseQueue> dbQueue, std::string cloudStartPath,
    std::shared_ptr<base::Logger> logger) {
  std::unique_ptr<SyncItemStorage> storage(
      new SyncItemStorage(std::move(dbQueue), std::move(cloudStartPath), std::move(logger)));
  auto loaded = storage->read<void>([&](Database& db) -> ItemStoreResult<void> {
    auto columns = db.scalarInt("SELECT COUNT(*) FROM pragma_table_info('Items')");
    if (!columns) return std::unexpected(ItemStoreError{columns.error()});
    if (columns->value_or(0) != kItemColumnCount) {
      return std::unexpected(
          ItemStoreError{DatabaseError{DatabaseError::Kind::migration, 0,
                                       "the Items table has an unexpected layout", db.path()}});
    }
    auto graveyard = db.scalarInt("SELECT graveyardRank FROM DomainData");
    if (!graveyard) return std::unexpected(ItemStoreError{graveyard.error()});
    auto snapshot = db.scalarInt("SELECT snapshotRevision FROM DomainData");
    if (!snapshot) return std::unexpected(ItemStoreError{snapshot.error()});
    storage->graveyardRank_ = graveyard->value_or(0);
    storage->snapshotRevision_ = snapshot->value_or(0);
    return {};
  });
  if (!loaded) return std::unexpected(loaded.error());
  return storage;
}

void SyncItemStorage::setDelegate(std::weak_ptr<SyncItemStorageDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void SyncItemStorage::didChange() {
  publisher_.send();
  std::shared_ptr<SyncItemStorageDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
  }
  if (delegate) delegate->itemStorageDidChange();
}

// MARK: Reads

ItemStoreResult<std::optional<SyncItem>> SyncItemStorage::optionalItem(
    const SyncItemIdentifier& identifier, SyncItemReadOptions options) {
  return read<std::optional<SyncItem>>(
      [&](Database& db) { return readOne(db, kByIdentifier, identifier.description(), options); });
}

ItemStoreResult<std::optional<SyncItem>> SyncItemStorage::optionalItem(
    const CloudItemIdentifier& identifier, SyncItemReadOptions options) {
  return read<std::optional<SyncItem>>([&](Database& db) {
    return readOne(db, kByCloudIdentifier, identifier.description(), options);
  });
}

ItemStoreResult<SyncItem> SyncItemStorage::item(const SyncItemIdentifier& identifier,
                                                SyncItemReadOptions options) {
  auto found = optionalItem(identifier, options);
  if (!found) return std::unexpected(found.error());
  if (!*found) return std::unexpected(ItemStoreError{SyncError::noSuchItem(identifier)});
  return std::move(**found);
}

ItemStoreResult<std::optional<SyncItem>> SyncItemStorage::item(
    const std::string& systemItemIdentifier, SyncItemReadOptions options) {
  return read<std::optional<SyncItem>>([&](Database& db) {
    return readOne(db, kBySystemIdentifier, systemItemIdentifier, options);
  });
}

ItemStoreResult<std::optional<SyncItem>> SyncItemStorage::childItem(
    const SyncFolderIdentifier& parent, const std::string& filename, SyncItemReadOptions options) {
  return read<std::optional<SyncItem>>(
      [&](Database& db) { return readChild(db, parent, filename, options); });
}

ItemStoreResult<std::optional<std::pair<SyncItem, std::string>>> SyncItemStorage::findItem(
    const SyncFolderIdentifier& under, const std::string& filename) {
  using Found = std::optional<std::pair<SyncItem, std::string>>;
  return read<Found>([&](Database& db) -> ItemStoreResult<Found> {
    auto child = readChild(db, under, filename, {});
    if (!child) return std::unexpected(child.error());
    if (!*child) return Found{};
    auto path = cloudPathOf(db, (*child)->itemIdentifier);
    if (!path) return std::unexpected(path.error());
    return Found{std::pair{std::move(**child), std::move(*path)}};
  });
}

namespace {
template <class Identifier>
ItemStoreResult<std::vector<std::optional<SyncItem>>> readEach(
    Database& db, const char* sql, const std::vector<Identifier>& identifiers,
    SyncItemReadOptions options) {
  std::vector<std::optional<SyncItem>> list;
  for (const auto& identifier : identifiers) {
    auto found = readOne(db, sql, identifier.description(), options);
    if (!found) return std::unexpected(found.error());
    list.push_back(std::move(*found));
  }
  return list;
}
}  // namespace

ItemStoreResult<std::vector<std::optional<SyncItem>>> SyncItemStorage::items(
    const std::vector<SyncItemIdentifier>& identifiers, SyncItemReadOptions options) {
  return read<std::vector<std::optional<SyncItem>>>(
      [&](Database& db) { return readEach(db, kByIdentifier, identifiers, options); });
}

ItemStoreResult<std::vector<std::optional<SyncItem>>> SyncItemStorage::findAllByCloudIdentifier(
    const std::vector<CloudItemIdentifier>& identifiers, SyncItemReadOptions options) {
  return read<std::vector<std::optional<SyncItem>>>(
      [&](Database& db) { return readEach(db, kByCloudIdentifier, identifiers, options); });
}

ItemStoreResult<std::int64_t> SyncItemStorage::itemCount(
    const std::vector<SyncItemQueryConstraint>& matching) {
  std::string sql = "SELECT COUNT(*) FROM Items";
  std::vector<std::string> arguments;
  for (size_t i = 0; i < matching.size(); ++i) {
    sql += i == 0 ? " WHERE " : " AND ";
    switch (matching[i].kind) {
      case SyncItemQueryConstraint::Kind::isChildOf:
        sql += "parentItemIdentifier = ?";
        arguments.push_back(matching[i].parent ? matching[i].parent->description() : "");
        break;
      case SyncItemQueryConstraint::Kind::isAlive:
        sql += "dead = 0";
        break;
      case SyncItemQueryConstraint::Kind::isFile:
        sql += "itemIdentifier LIKE 'file/%'";
        break;
      case SyncItemQueryConstraint::Kind::isFolder:
        sql += "itemIdentifier LIKE 'folder/%'";
        break;
      case SyncItemQueryConstraint::Kind::isMaterialized:
        sql += "isMaterialized = 1";
        break;
    }
  }
  return read<std::int64_t>([&](Database& db) -> ItemStoreResult<std::int64_t> {
    auto statement = db.prepare(sql);
    if (!statement) return std::unexpected(ItemStoreError{statement.error()});
    for (size_t i = 0; i < arguments.size(); ++i) {
      statement->bind(static_cast<int>(i + 1), arguments[i]);
    }
    auto row = statement->step();
    if (!row) return std::unexpected(ItemStoreError{row.error()});
    return statement->int64(0);
  });
}

ItemStoreResult<std::optional<SyncItem>> SyncItemStorage::findItem(const std::string& cloudPath) {
  return read<std::optional<SyncItem>>(
      [&](Database& db) -> ItemStoreResult<std::optional<SyncItem>> {
        auto root = rootIdentifier(db);
        if (!root) return std::unexpected(root.error());
        return walkPath(db, *root, cloudPath, PathMatch::ignoringCase, std::nullopt);
      });
}

ItemStoreResult<std::optional<SyncItem>> SyncItemStorage::findOfflineItem(
    const std::string& cloudPath) {
  return read<std::optional<SyncItem>>(
      [&](Database& db) -> ItemStoreResult<std::optional<SyncItem>> {
        return findInOfflineFolder(db, cloudPath);
      });
}

ItemStoreResult<std::string> SyncItemStorage::queryCloudPath(const SyncItemIdentifier& identifier) {
  return read<std::string>([&](Database& db) { return cloudPathOf(db, identifier); });
}

ItemStoreResult<std::optional<std::string>> SyncItemStorage::queryOfflinePath(
    const SyncItemIdentifier& identifier) {
  return read<std::optional<std::string>>(
      [&](Database& db) { return offlinePathOf(db, identifier); });
}

ItemStoreResult<SyncItem> SyncItemStorage::rootItem() {
  return read<SyncItem>([&](Database& db) -> ItemStoreResult<SyncItem> {
    auto root = rootIdentifier(db);
    if (!root) return std::unexpected(root.error());
    auto found = readOne(db, kByIdentifier, root->description(), {});
    if (!found) return std::unexpected(found.error());
    if (!*found) return std::unexpected(ItemStoreError{SyncError::noSuchItem(*root)});
    return std::move(**found);
  });
}

ItemStoreResult<std::vector<SyncItem>> SyncItemStorage::enumerateAllItems(
    const SyncFolderIdentifier& container, SyncItemReadOptions options) {
  return read<std::vector<SyncItem>>([&](Database& db) {
    return readMany(db, kAliveChildren, {container.description()}, options);
  });
}

ItemStoreResult<std::vector<SyncItem>> SyncItemStorage::itemsMarkedForDelayedDeletion() {
  return read<std::vector<SyncItem>>(
      [&](Database& db) { return readMany(db, kDelayedDeletions, {}, {}); });
}

ItemStoreResult<SyncAnchor> SyncItemStorage::currentSyncAnchor() {
  return read<SyncAnchor>([&](Database& db) -> ItemStoreResult<SyncAnchor> {
    auto max = db.scalarInt("SELECT MAX(rank) FROM Items");
    if (!max) return std::unexpected(ItemStoreError{max.error()});
    return SyncAnchor{max->value_or(0)};
  });
}

ItemStoreResult<SyncItemPage> SyncItemStorage::enumerateItems(
    const std::optional<SyncFolderIdentifier>& container,
    const std::optional<SyncListingPageMarker>& startingAt, size_t pageSize) {
  pageSize = std::max<size_t>(pageSize, 1);
  return read<SyncItemPage>([&](Database& db) -> ItemStoreResult<SyncItemPage> {
    std::vector<std::string> arguments;
    if (container) arguments.push_back(container->description());
    arguments.push_back(startingAt ? startingAt->lastItemIdentifier.description() : "");
    auto items = readMany(db, container ? kChildrenPage : kWorkingSetPage, arguments, {},
                          static_cast<std::int64_t>(pageSize) + 1);
    if (!items) return std::unexpected(items.error());
    SyncItemPage page;
    if (items->size() > pageSize) {
      items->resize(pageSize);
      page.output.nextPage = SyncListingPageMarker{items->back().itemIdentifier};
    }
    page.items = std::move(*items);
    return page;
  });
}

ItemStoreResult<SyncChangeBatch> SyncItemStorage::enumerateChanges(
    const std::optional<SyncFolderIdentifier>& container, SyncAnchor anchor, size_t maxBatchSize) {
  const auto graveyard = graveyardRank_.load();
  if (graveyard > anchor.rank) {
    return std::unexpected(ItemStoreError{SyncAnchorExpired{anchor, graveyard}});
  }
  maxBatchSize = std::max<size_t>(maxBatchSize, 1);
  return read<SyncChangeBatch>([&](Database& db) -> ItemStoreResult<SyncChangeBatch> {
    return readChanges(db, container, anchor, maxBatchSize, logger_.get());
  });
}

}  // namespace tarnix::common
