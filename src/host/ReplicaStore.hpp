#pragma once
// The host's own record of what it has shown of one domain and which contents it holds: one
// SQLite file per domain, never the extension's item database. Each item the extension handed
// over has an inode number (the root folder is inode 1), its parent and name, its attributes,
// and for files whether the contents are present, at which content version and in which file.
// The file also keeps the last sync anchor and small state values (domain state, errors), and
// the journal of local changes to the namespace not yet confirmed by the extension.
//
// While a journal entry is pending, what the extension reports never undoes it: an upsert of an
// item deleted locally is ignored (the item stays gone, or stays as it is while its deletion is
// under way), an upsert of an item renamed or moved locally keeps the new name and parent, and a
// listing keeps such an item in its new folder.
//
// Thread-safe: every member takes the store's one mutex; nothing calls out while holding it, so
// callers may hold locks of their own around any call.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/JSONValue.hpp"
#include "base/Mutex.hpp"
#include "common/Database.hpp"
#include "platform/fileprovider/Item.hpp"

namespace tarnix::host {

namespace fp = platform::fileprovider;

using Inode = std::uint64_t;
inline constexpr Inode kRootInode = 1;

/// One item as the host presents it.
struct ReplicaEntry {
  Inode inode = 0;
  fp::ItemIdentifier identifier;
  Inode parentInode = 0;
  std::string filename;
  bool isFolder = false;
  std::int64_t size = 0;
  std::optional<std::int64_t> creationMilliseconds;
  std::optional<std::int64_t> modificationMilliseconds;
  fp::ItemCapabilities capabilities = fp::ItemCapabilities::none;
  std::optional<fp::FileSystemFlags> fileSystemFlags;
  fp::ItemVersion version;
  base::JSONValue userInfo = base::JSONValue::object();
  std::vector<std::string> decorations;
  /// A folder whose children were listed completely at least once.
  bool childrenListed = false;

  bool contentPresent = false;
  /// The content version the present contents belong to.
  fp::Data presentContentVersion;
  std::filesystem::path contentPath;
  std::int64_t contentSize = 0;
  /// The file of a local edit the extension has not confirmed yet (the contents the host
  /// shows while it is set); none without one.
  std::optional<std::filesystem::path> localContentPath;
  /// The content version the local edit started from (empty for a file made here).
  fp::Data localBaseVersion;
  /// Why the extension refused the last upload of the local edit.
  std::optional<std::string> localError;

  bool hasLocalEdit() const { return localContentPath.has_value(); }
  /// Larger is more recent.
  std::int64_t lastAccess = 0;
};

/// What an upsert did: the item's inode, and the contents file that no longer matches the
/// item's content version (the caller removes it) when the version changed.
struct UpsertResult {
  Inode inode = 0;
  bool created = false;
  bool attributesChanged = false;
  /// The name or parent changed: the old entry is gone from the kernel's point of view.
  std::optional<std::pair<Inode, std::string>> previousPlacement;
  std::optional<std::filesystem::path> staleContentPath;
};

/// A file whose contents are present, for eviction.
struct PresentContent {
  Inode inode = 0;
  std::int64_t size = 0;
  std::int64_t lastAccess = 0;
  std::filesystem::path contentPath;
};

/// A local change, kept from before the extension is asked until it confirmed.
struct JournalEntry {
  /// writeContents: new contents of a file (a new file when `baseVersion` has no content
  /// version), in the snapshot at `contentPath`.
  enum class Kind { createFolder, rename, removeFolder, removeFile, writeContents };
  /// Order of the entries (assigned by the store).
  std::int64_t id = 0;
  Kind kind = Kind::removeFile;
  /// The item; for createFolder the identifier the host made for the new folder.
  fp::ItemIdentifier identifier;
  fp::ItemIdentifier parentIdentifier;
  std::string filename;
  bool isFolder = false;
  /// Where a rename puts the item.
  std::optional<fp::ItemIdentifier> newParentIdentifier;
  std::optional<std::string> newFilename;
  fp::ItemVersion baseVersion;
  /// fp::DeleteItemOptions of a deletion.
  std::uint32_t options = 0;
  /// Milliseconds since 1970.
  std::int64_t time = 0;
  /// writeContents: the snapshot of the contents to send (the store's own file).
  std::optional<std::filesystem::path> contentPath;
};

/// Text of a journal entry's kind ("createFolder", "rename", "removeFolder", "removeFile",
/// "writeContents").
const char* journalKindName(JournalEntry::Kind kind);

template <class T>
using StoreResult = std::expected<T, common::DatabaseError>;

class ReplicaStore {
 public:
  /// Opens (creating when needed, except read-only) the store and makes sure the root folder
  /// exists as inode 1.
  static StoreResult<std::unique_ptr<ReplicaStore>> open(
      const std::filesystem::path& path,
      common::Database::Mode mode = common::Database::Mode::readWrite);

  StoreResult<std::optional<ReplicaEntry>> entry(Inode inode);
  StoreResult<std::optional<ReplicaEntry>> entry(const fp::ItemIdentifier& identifier);
  StoreResult<std::optional<ReplicaEntry>> child(Inode parent, const std::string& name);
  StoreResult<std::vector<ReplicaEntry>> children(Inode parent);

  /// Records `item` under its parent. None when the parent is not known to the store (the host
  /// has never shown it, so it need not show the item either).
  StoreResult<std::optional<UpsertResult>> upsert(const fp::Item& item);
  /// Upserts a page of a folder's children in one transaction; one result per item (none for
  /// an item whose parent is unknown).
  StoreResult<std::vector<std::optional<UpsertResult>>> upsertAll(
      const std::vector<fp::ItemPtr>& items);
  /// A listing of `parent` finished: removes the children not in `listed` (with their subtrees),
  /// marks the folder listed, and returns what was removed.
  StoreResult<std::vector<ReplicaEntry>> completeListing(Inode parent, std::vector<Inode> listed);
  /// Removes the item and everything below it; returns what was removed (nothing when unknown).
  /// The root folder stays.
  StoreResult<std::vector<ReplicaEntry>> remove(const fp::ItemIdentifier& identifier);

  StoreResult<void> setContentPresent(Inode inode, const fp::Data& contentVersion,
                                      const std::filesystem::path& contentPath,
                                      std::int64_t contentSize, std::int64_t access);
  /// Back to dataless; returns the contents file that was recorded.
  StoreResult<std::optional<std::filesystem::path>> clearContent(Inode inode);
  StoreResult<void> touch(Inode inode, std::int64_t access);
  /// Oldest access first.
  StoreResult<std::vector<PresentContent>> presentContents();
  StoreResult<std::int64_t> cacheUsage();

  /// Adds `entry` to the journal; returns its id.
  StoreResult<std::int64_t> addJournalEntry(const JournalEntry& entry);
  /// Journals `entry` for the item at `inode` under the identifier the item has at that moment
  /// (the first upload of a file made here gives it the cloud's identifier, maybe between the
  /// caller's read and this write); none when the item is gone.
  StoreResult<std::optional<std::int64_t>> addJournalEntry(Inode inode, JournalEntry entry);
  /// Adds `entry` and removes the item at `inode` with everything below it, in one transaction;
  /// returns the entry's id and what was removed.
  struct Journalled {
    std::int64_t id = 0;
    std::vector<ReplicaEntry> removed;
  };
  StoreResult<Journalled> journalAndRemove(const JournalEntry& entry, Inode inode);
  /// The pending entries, oldest first.
  StoreResult<std::vector<JournalEntry>> journal();
  /// The extension confirmed (or definitely refused) entries `ids`: clears them and, in the same
  /// transaction, records `item` and removes `removed` (with its subtree) when given.
  struct Settled {
    std::optional<UpsertResult> upserted;
    std::vector<ReplicaEntry> removed;
    /// settleContents only: the file was removed here while its contents were sent; nothing
    /// was recorded, and the item the cloud made for them is to be removed too.
    bool removedHere = false;
  };
  StoreResult<Settled> settleJournal(const std::vector<std::int64_t>& ids, const fp::Item* item,
                                     const std::optional<fp::ItemIdentifier>& removed);

  /// Records a file made here, not known to the extension yet: `identifier` is the host's own,
  /// its contents are the local edit at `localContentPath`. None when the parent is unknown.
  StoreResult<std::optional<ReplicaEntry>> createLocalFile(
      Inode parent, const std::string& name, const fp::ItemIdentifier& identifier,
      const std::filesystem::path& localContentPath, std::int64_t modificationMilliseconds);
  /// A local edit of the file begins at `localContentPath` (based on its current content
  /// version). Nothing changes when one is under way already.
  StoreResult<void> beginLocalEdit(Inode inode, const std::filesystem::path& localContentPath);
  /// The size and modification date of a file with a local edit.
  StoreResult<void> setLocalAttributes(Inode inode, std::int64_t size,
                                       std::optional<std::int64_t> modificationMilliseconds);
  StoreResult<void> setLocalError(Inode inode, const std::optional<std::string>& error);
  /// The extension took the contents of journal entry `entry` and answered `item`: clears the
  /// entry; a file made here takes the extension's identifier (in the journal too); the item's
  /// attributes follow `item`. When `editEnded` (nothing written since the snapshot) the local
  /// edit becomes the present contents at the item's content version; otherwise it stays, now
  /// based on that version. A file made here and removed meanwhile stays removed
  /// (`removedHere`).
  /// The last writer of `inode` closed it without writing since its contents were handed on,
  /// and the cloud has them all (no contents wait in the journal, none were refused): the local
  /// edit becomes the present contents at the version it was sent as. Answers whether it did,
  /// and the file of the contents it replaced, when one is no longer needed.
  struct EndedEdit {
    bool ended = false;
    std::optional<std::filesystem::path> staleContentPath;
  };
  StoreResult<EndedEdit> endSentLocalEdit(Inode inode);
  StoreResult<Settled> settleContents(const JournalEntry& entry, const fp::Item& item,
                                      bool editEnded);
  /// Every file with a local edit.
  StoreResult<std::vector<ReplicaEntry>> localEdits();
  /// Moves a file made here (not known to the extension) in the store alone.
  StoreResult<void> moveLocal(Inode inode, Inode newParent, const std::string& newName);
  /// `source`, a file made here, saved over `target` (an editor's atomic save): the item stays
  /// `target` (its identifier, name, version and attributes), now on the source's inode (the one
  /// the kernel keeps for the name) with the source's local edit; the source's journal entries
  /// and the target's row go. Returns the files no longer needed (the target's earlier edit and
  /// contents, the source's snapshots).
  StoreResult<std::vector<std::filesystem::path>> replaceWithLocalEdit(Inode target, Inode source);
  /// A new identifier of the host's own, for an item the extension does not know yet.
  static fp::ItemIdentifier newHostIdentifier();
  /// Whether `identifier` is one the host made (newHostIdentifier).
  static bool isHostMade(const fp::ItemIdentifier& identifier);

  StoreResult<std::optional<std::string>> state(const std::string& key);
  StoreResult<void> setState(const std::string& key, const std::optional<std::string>& value);

  static constexpr const char* kSyncAnchorKey = "syncAnchor";
  /// The last failed listing of a folder, until a listing completes.
  static constexpr const char* kLastListingErrorKey = "lastListingError";
  /// The last failed change enumeration, until one succeeds.
  static constexpr const char* kLastChangeErrorKey = "lastChangeError";

 private:
  explicit ReplicaStore(std::unique_ptr<common::Database> db) : db_(std::move(db)) {}
  StoreResult<std::optional<ReplicaEntry>> queryOneLocked(const char* sql, auto&& bind)
      TARNIX_REQUIRES(mutex_);
  StoreResult<std::vector<ReplicaEntry>> queryManyLocked(const char* sql, auto&& bind)
      TARNIX_REQUIRES(mutex_);
  StoreResult<std::optional<UpsertResult>> upsertLocked(const fp::Item& item)
      TARNIX_REQUIRES(mutex_);
  StoreResult<std::vector<ReplicaEntry>> removeLocked(Inode inode) TARNIX_REQUIRES(mutex_);
  StoreResult<std::vector<ReplicaEntry>> removeIdentifierLocked(
      const fp::ItemIdentifier& identifier) TARNIX_REQUIRES(mutex_);
  StoreResult<std::int64_t> addJournalEntryLocked(const JournalEntry& entry)
      TARNIX_REQUIRES(mutex_);
  /// Keeps the local edits below `inode` (the item itself included) from a removal the cloud
  /// made: each moves to `into` as a file made here, under a free name.
  StoreResult<void> rescueLocalEditsLocked(Inode inode, Inode into) TARNIX_REQUIRES(mutex_);
  /// The local edit of `e` becomes its present contents, at the version it is based on; the
  /// file of the contents it replaces, when that one is no longer needed.
  StoreResult<std::optional<std::filesystem::path>> endLocalEditLocked(const ReplicaEntry& e)
      TARNIX_REQUIRES(mutex_);
  /// The latest pending entry about `identifier`.
  StoreResult<std::optional<JournalEntry>> pendingLocked(const fp::ItemIdentifier& identifier)
      TARNIX_REQUIRES(mutex_);

  base::Mutex mutex_;
  const std::unique_ptr<common::Database> db_ TARNIX_PT_GUARDED_BY(mutex_);
};

}  // namespace tarnix::host
