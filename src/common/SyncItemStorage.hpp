#pragma once
// The item store of one drive: every read and write of the item tables of the drive database.
//
// Threads: every operation may be called from any thread except the "DriveDatabase" writer
// queue itself. Reads run on a reader connection and see one consistent snapshot; writes run
// in one transaction each on the writer queue and the caller waits for them. After a committed
// write, the publisher's subscribers and the delegate are told on the calling thread.
//
// Ranks: every write the framework must see gives the touched row the rank (highest rank + 1),
// so `rank > anchor` finds what changed since an anchor. Subtree updates add per-row offsets.
//
// Errors: ItemStoreError holds a SyncError (noSuchItem and the like; brokenTreeHierarchy when a
// write would put a folder inside itself, or a walk of the tree meets such a cycle), a
// DatabaseError (SQLite failed, or a stored value is malformed), SyncAnchorExpired (the provider
// maps it to the framework's code -1002), or ItemAlreadyStored (a new item whose identifier the
// table already holds).
//
// The tree: every walk of it (paths, subtree updates, deletions) stops on a parent cycle, which
// only a damaged file or an older build can hold: writes refuse any change that would make one.
#include <atomic>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/Logger.hpp"
#include "common/DatabaseQueue.hpp"
#include "common/PatchedSyncItem.hpp"
#include "common/SyncError.hpp"
#include "common/SyncItem.hpp"
#include "common/SyncQuery.hpp"

namespace tarnix::common {

/// The anchor of a change enumeration lies below the graveyard: deletions it would need were
/// purged, so the framework must enumerate again from scratch.
struct SyncAnchorExpired {
  static constexpr int kFrameworkErrorCode = -1002;
  SyncAnchor anchor;
  std::int64_t graveyardRank = 0;
  bool operator==(const SyncAnchorExpired&) const = default;
};

/// A new item was to be stored under an identifier that the table already holds, alive or as a
/// tombstone: the stored row is left as it is.
struct ItemAlreadyStored {
  SyncItemIdentifier identifier;
  /// The stored row is a tombstone (deleted, or marked for delayed deletion).
  bool isTombstone = false;
  bool operator==(const ItemAlreadyStored&) const = default;
};

struct ItemStoreError {
  std::variant<SyncError, DatabaseError, SyncAnchorExpired, ItemAlreadyStored> value;

  const SyncError* syncError() const { return std::get_if<SyncError>(&value); }
  const DatabaseError* databaseError() const { return std::get_if<DatabaseError>(&value); }
  const ItemAlreadyStored* alreadyStored() const { return std::get_if<ItemAlreadyStored>(&value); }
  bool isAnchorExpired() const { return std::holds_alternative<SyncAnchorExpired>(value); }
  /// A SyncError of code `brokenTreeHierarchy`: a parent cycle was refused or met.
  bool isParentCycle() const;
  std::string description() const;
};

template <class T>
using ItemStoreResult = std::expected<T, ItemStoreError>;

/// The outcome of `beginNewItem`.
struct BeginNewItemResult {
  SyncItem parentItem;
  /// An alive child of the parent with that name (compared without case), if any.
  std::optional<SyncItem> existingItem;
  /// An item with the same system identifier exists: the system is retrying a creation.
  bool retryDetected = false;
};

/// A creation in flight (by name and parent), so that a listing does not store it twice.
struct ItemBeingCreated {
  std::string fileName;
  SyncFolderIdentifier parent;
  auto operator<=>(const ItemBeingCreated&) const = default;
};

/// A change the cloud's event feed reported, as the store needs it: the action as the feed
/// names it ("DELETE_FILE", "RESTORE_FROM_TRASH", ...) and absolute cloud paths.
struct ItemStoreEvent {
  std::int64_t revision = 0;
  std::string action;
  std::optional<std::string> sourcePath;
  std::optional<std::string> targetPath;
};

/// What applying a batch of cloud events did.
struct ApplyEventsStats {
  /// The store's highest rank afterwards.
  std::int64_t highestRank = 0;
  /// Items (subtrees counted whole) that became tombstones.
  std::int64_t deletedItems = 0;
  /// Events that change nothing in the store (no-ops, and changes a listing brings in).
  std::int64_t skippedEvents = 0;
  /// Events about paths the store does not know.
  std::int64_t eventsWithUndiscoveredLocations = 0;
};

/// One batch of a change enumeration.
struct SyncChangeBatch {
  std::vector<SyncItem> updatedItems;
  std::vector<SyncItemIdentifier> deletedItemIdentifiers;
  /// The rank up to which changes were delivered: the next anchor.
  SyncAnchor lastRank;
  size_t changeCount = 0;
  /// More rows remain beyond this batch.
  bool moreComing = false;
};

/// One page of a paged enumeration.
struct SyncItemPage {
  std::vector<SyncItem> items;
  SyncEnumerateItemsQueryOutput output;
};

/// Told after every committed write of the store. Called on the thread that wrote.
class SyncItemStorageDelegate {
 public:
  virtual ~SyncItemStorageDelegate() = default;
  virtual void itemStorageDidChange() = 0;
};

/// A signal without value: subscribers are called after every committed write, on the thread
/// that wrote. Subscribing and unsubscribing are thread-safe; a callback must not (un)subscribe.
class SyncItemStoragePublisher {
 public:
  using Token = std::uint64_t;
  Token subscribe(std::function<void()> callback);
  void unsubscribe(Token token);
  void send();

 private:
  std::mutex mutex_;
  std::map<Token, std::function<void()>> subscribers_;
  Token next_ = 1;
};

class SyncItemStorage {
 public:
  /// Reads the cached `graveyardRank` and `snapshotRevision`; fails when the database does not
  /// have the item tables of this build.
  static ItemStoreResult<std::unique_ptr<SyncItemStorage>> make(
      std::shared_ptr<DatabaseQueue> dbQueue, std::string cloudStartPath,
      std::shared_ptr<base::Logger> logger);

  SyncItemStoragePublisher& publisher() { return publisher_; }
  /// Held weakly; set once before use.
  void setDelegate(std::weak_ptr<SyncItemStorageDelegate> delegate);
  const std::string& cloudStartPath() const { return cloudStartPath_; }
  const std::shared_ptr<DatabaseQueue>& dbQueue() const { return dbQueue_; }

  // MARK: Reads (tombstones are ignored unless said otherwise)

  ItemStoreResult<std::optional<SyncItem>> optionalItem(const SyncItemIdentifier& identifier,
                                                        SyncItemReadOptions options = {});
  ItemStoreResult<std::optional<SyncItem>> optionalItem(const CloudItemIdentifier& identifier,
                                                        SyncItemReadOptions options = {});
  ItemStoreResult<std::optional<SyncItem>> findByCloudIdentifier(
      const CloudItemIdentifier& identifier) {
    return optionalItem(identifier);
  }
  /// Fails with SyncError::noSuchItem when absent.
  ItemStoreResult<SyncItem> item(const SyncItemIdentifier& identifier,
                                 SyncItemReadOptions options = {});
  ItemStoreResult<std::optional<SyncItem>> item(const std::string& systemItemIdentifier,
                                                SyncItemReadOptions options = {});
  /// The alive child named `filename` (compared without case).
  ItemStoreResult<std::optional<SyncItem>> childItem(const SyncFolderIdentifier& parent,
                                                     const std::string& filename,
                                                     SyncItemReadOptions options = {});
  /// The child and its path from the drive root ("/a/b/name").
  ItemStoreResult<std::optional<std::pair<SyncItem, std::string>>> findItem(
      const SyncFolderIdentifier& under, const std::string& filename);
  /// One entry per identifier, in input order; absent ones as none.
  ItemStoreResult<std::vector<std::optional<SyncItem>>> items(
      const std::vector<SyncItemIdentifier>& identifiers, SyncItemReadOptions options = {});
  ItemStoreResult<std::vector<std::optional<SyncItem>>> findAllByCloudIdentifier(
      const std::vector<CloudItemIdentifier>& identifiers, SyncItemReadOptions options = {});
  ItemStoreResult<std::int64_t> itemCount(const std::vector<SyncItemQueryConstraint>& matching);
  /// The item at `cloudPath`, relative to the drive root ("/a/b" or "a/b"; "" is the root),
  /// names compared without case.
  ItemStoreResult<std::optional<SyncItem>> findItem(const std::string& cloudPath);
  /// The offline-realm item at `cloudPath` inside an offline folder (by the folder's stored
  /// path), names compared exactly.
  ItemStoreResult<std::optional<SyncItem>> findOfflineItem(const std::string& cloudPath);
  /// The path of the item from the drive root ("/a/b"; "/" for the root).
  ItemStoreResult<std::string> queryCloudPath(const SyncItemIdentifier& identifier);
  /// The stored path of the nearest offline folder at or above the item plus the names below
  /// it; none when the item is not inside an offline folder.
  ItemStoreResult<std::optional<std::string>> queryOfflinePath(
      const SyncItemIdentifier& identifier);
  ItemStoreResult<SyncItem> rootItem();
  ItemStoreResult<std::vector<SyncItem>> enumerateAllItems(const SyncFolderIdentifier& container,
                                                           SyncItemReadOptions options = {});
  ItemStoreResult<std::vector<SyncItem>> itemsMarkedForDelayedDeletion();
  ItemStoreResult<SyncAnchor> currentSyncAnchor();
  /// Keeps the pairs whose folder is alive and materialised.
  template <class URL>
  ItemStoreResult<std::vector<std::pair<URL, SyncFolderIdentifier>>> filterVisitedFolders(
      const std::vector<std::pair<URL, SyncFolderIdentifier>>& folders);

  /// One page of the alive children of `container` (all alive items when none), ordered by
  /// identifier, starting after `startingAt`.
  ItemStoreResult<SyncItemPage> enumerateItems(
      const std::optional<SyncFolderIdentifier>& container,
      const std::optional<SyncListingPageMarker>& startingAt, size_t pageSize);
  /// The changes below `container` (the whole drive when none) since `anchor`, in rank order,
  /// tombstones as deletions. A batch never splits rows of one rank, so it may exceed
  /// `maxBatchSize`. Fails with SyncAnchorExpired when the anchor is below the graveyard.
  ItemStoreResult<SyncChangeBatch> enumerateChanges(
      const std::optional<SyncFolderIdentifier>& container, SyncAnchor anchor, size_t maxBatchSize);

  std::int64_t graveyardRank() const { return graveyardRank_.load(); }
  std::int64_t snapshotRevision() const { return snapshotRevision_.load(); }

  // MARK: Writes (each one transaction on the writer queue)

  ItemStoreResult<BeginNewItemResult> beginNewItem(
      const SyncFolderIdentifier& under, const std::string& filename,
      const std::optional<std::string>& systemItemIdentifier, bool isFolder);
  /// Inserts the item with the highest rank, its extended attributes and its cloud lock. An
  /// identifier the table already holds (alive or as a tombstone) fails with ItemAlreadyStored
  /// and is logged; the stored row stays as it is (undeleteItem revives a tombstone). A parent
  /// that lies below the item fails with brokenTreeHierarchy.
  ItemStoreResult<SyncItem> storeNewItem(const SyncItem& item);
  /// Stores the item (replacing a row of the same identifier) and records it as the root.
  ItemStoreResult<SyncItem> setRootItem(const SyncItem& item);
  /// Writes the changed columns only, bumps metadataVersion and the rank; returns the stored item.
  /// A new parent inside the item's own subtree (or the item itself) is refused with
  /// brokenTreeHierarchy and logged; nothing is written.
  ItemStoreResult<SyncItem> update(const PatchedSyncItem& item);
  /// Created items are stored, modified ones updated, moved-away ones become tombstones (with
  /// their subtrees). With `skipItemsBeingCreated`, created items matching an entry of the
  /// items-being-created set are left out. A created item whose identifier is already stored is
  /// left out with a warning (the stored row stays). A patch whose moves would, once all are
  /// written, leave a folder inside itself is refused whole with brokenTreeHierarchy and logged.
  ItemStoreResult<void> apply(const SyncItemListPatch& patch, bool skipItemsBeingCreated);
  /// The same, and `alsoInTransaction` runs after the patch in the same transaction: when it
  /// fails, nothing of the patch is written either.
  ItemStoreResult<void> apply(
      const SyncItemListPatch& patch, bool skipItemsBeingCreated,
      const std::function<ItemStoreResult<void>(Database&)>& alsoInTransaction);
  /// Marks the item and its alive descendants dead (2 when `delayed`, else 1) with the highest
  /// ranks. An offline-folder root (and its subtree) is left alone unless
  /// `includingSubscriptionRoot`.
  ItemStoreResult<void> deleteItem(const SyncItemIdentifier& identifier,
                                   const std::optional<CloudEntryIdentifier>& baseContentVersion,
                                   bool delayed, bool includingSubscriptionRoot);
  ItemStoreResult<void> undeleteItem(const SyncItemIdentifier& identifier);
  /// Only raises the rank, so that the framework is sent the item again.
  ItemStoreResult<void> refreshItem(const SyncItemIdentifier& identifier);
  ItemStoreResult<SyncItem> markItemAsMaterialized(const SyncItemIdentifier& identifier);
  /// Sets `isSkipped` on the item and brings `isAncestorSkipped` of its subtree in line (rank +
  /// depth, for the rows whose flag changes): a row is ancestor-skipped when any folder above it
  /// is skipped, so un-skipping a folder leaves the rows below a still-skipped descendant (or
  /// below a skipped ancestor of the folder) ancestor-skipped.
  ItemStoreResult<void> updateItemSkippedFlag(const SyncItemIdentifier& identifier, bool isSkipped);
  /// Moves the item and its subtree into `realm` (rank + row number); drops the subtree's cloud
  /// locks without a local lock and the listings of its folders.
  ItemStoreResult<void> updateRealm(const SyncItemIdentifier& identifier, SyncItemRealm realm);
  /// No rank change.
  ItemStoreResult<void> updateLastFailedUploadDetails(
      const SyncItemIdentifier& identifier, const std::optional<CloudEntryIdentifier>& baseVersion,
      const std::optional<std::string>& checksum);
  /// Removes the tombstones with ranks in [fromRank, toRank] and raises the graveyard to toRank:
  /// anchors below it expire.
  ItemStoreResult<void> purgeGraveyard(std::int64_t fromRank, std::int64_t toRank);
  ItemStoreResult<void> setSnapshotRevision(std::int64_t revision);
  /// Applies a batch of cloud events, in the order given (revision order), and records
  /// `snapshotRevision`, in one transaction. Only deletions change items: a deleted path the
  /// store knows becomes a tombstone with its subtree, unless a later event of the batch puts
  /// something at that path again. Everything else (new entries, moves, new versions,
  /// restores, permissions, locks) reaches the store through listings of the folders
  /// concerned, which the caller runs first. A deletion inside one of `listedFolders` (folders
  /// listed after the events were fetched) is skipped: that listing already removed what the
  /// cloud no longer has, and whatever the store holds at the path now came later (a local
  /// move over the deleted file, say).
  ItemStoreResult<ApplyEventsStats> apply(const std::vector<ItemStoreEvent>& events,
                                          std::int64_t snapshotRevision,
                                          const std::set<SyncFolderIdentifier>& listedFolders = {});

  void willStartCreatingNewItem(const std::string& fileName, const SyncFolderIdentifier& under);
  void didFinishCreatingNewItem(const ItemBeingCreated& item);
  bool isBeingCreated(const ItemBeingCreated& item) const;

 private:
  SyncItemStorage(std::shared_ptr<DatabaseQueue> dbQueue, std::string cloudStartPath,
                  std::shared_ptr<base::Logger> logger);
  template <class T>
  ItemStoreResult<T> read(const std::function<ItemStoreResult<T>(Database&)>& body);
  template <class T>
  ItemStoreResult<T> write(const std::function<ItemStoreResult<T>(Database&)>& body);
  void didChange();

  std::shared_ptr<DatabaseQueue> dbQueue_;
  std::string cloudStartPath_;
  std::shared_ptr<base::Logger> logger_;
  SyncItemStoragePublisher publisher_;
  std::atomic<std::int64_t> graveyardRank_{0};
  std::atomic<std::int64_t> snapshotRevision_{0};

  // Guards delegate_ and itemsBeingCreated_ (a leaf lock).
  mutable std::mutex mutex_;
  std::weak_ptr<SyncItemStorageDelegate> delegate_;
  std::multiset<ItemBeingCreated> itemsBeingCreated_;

  friend struct SyncItemStorageAccess;
};

template <class URL>
ItemStoreResult<std::vector<std::pair<URL, SyncFolderIdentifier>>>
SyncItemStorage::filterVisitedFolders(
    const std::vector<std::pair<URL, SyncFolderIdentifier>>& folders) {
  std::vector<SyncItemIdentifier> identifiers;
  for (const auto& [url, folder] : folders) identifiers.emplace_back(folder);
  auto found = items(identifiers, SyncItemReadOptions::skipExtendedAttributes |
                                      SyncItemReadOptions::skipSubscriptionState);
  if (!found) return std::unexpected(found.error());
  std::vector<std::pair<URL, SyncFolderIdentifier>> visited;
  for (size_t i = 0; i < folders.size(); ++i) {
    if ((*found)[i] && (*found)[i]->isMaterialized) visited.push_back(folders[i]);
  }
  return visited;
}

}  // namespace tarnix::common
