#pragma once
// The read queries of SyncItemStorage, as functions over an open connection (inside a read or
// write transaction of the caller).
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"

namespace tarnix::common::detail {

inline constexpr const char* kByIdentifier =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE Items.itemIdentifier = ? AND dead = 0";
inline constexpr const char* kByCloudIdentifier =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE Items.cloudIdentifier = ? AND dead = 0";
inline constexpr const char* kBySystemIdentifier =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE Items.systemItemIdentifier = ? AND dead = 0";
inline constexpr const char* kChild =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE Items.parentItemIdentifier = ? AND Items.filename = ? AND "
    "dead = 0";
inline constexpr const char* kAliveChildren =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE Items.parentItemIdentifier = ? AND dead = 0";
inline constexpr const char* kDelayedDeletions =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE dead = 2";
inline constexpr const char* kChildrenPage =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE Items.parentItemIdentifier = ? AND Items.itemIdentifier > "
    "? AND dead = 0 ORDER BY Items.itemIdentifier LIMIT ?";
inline constexpr const char* kWorkingSetPage =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE Items.itemIdentifier > ? AND dead = 0 ORDER BY "
    "Items.itemIdentifier LIMIT ?";
// Change enumeration reads tombstones too. Both walk an index in rank order, so a batch costs
// its own rows, not the rows after it.
inline constexpr const char* kChildChanges =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE Items.parentItemIdentifier = ? AND Items.rank > ? ORDER BY "
    "Items.rank";
inline constexpr const char* kAllChanges =
    "SELECT * FROM Items LEFT JOIN RemoteLocks ON (Items.itemIdentifier = "
    "RemoteLocks.itemIdentifier) WHERE Items.rank > ? ORDER BY Items.rank";

enum class PathMatch { ignoringCase, exactly };

ItemStoreResult<std::optional<SyncItem>> readOne(Database& db, const char* sql,
                                                 const std::string& argument,
                                                 SyncItemReadOptions options);
ItemStoreResult<std::optional<SyncItem>> readChild(Database& db, const SyncFolderIdentifier& parent,
                                                   const std::string& filename,
                                                   SyncItemReadOptions options);
/// Every row of `sql` with the text arguments bound in order, then `limit` when given.
/// Rows that do not parse are an error.
ItemStoreResult<std::vector<SyncItem>> readMany(Database& db, const char* sql,
                                                const std::vector<std::string>& arguments,
                                                SyncItemReadOptions options,
                                                std::optional<std::int64_t> limit = std::nullopt);
/// Adds the extended attributes, subscription state and local lock the options ask for.
ItemStoreResult<void> fillExtras(Database& db, SyncItem& item, SyncItemReadOptions options);

ItemStoreResult<SyncItemIdentifier> rootIdentifier(Database& db);
ItemStoreResult<std::optional<SyncItem>> walkPath(Database& db, const SyncItemIdentifier& start,
                                                  const std::string& path, PathMatch match,
                                                  std::optional<SyncItemRealm> realm);
ItemStoreResult<std::optional<SyncItem>> findInOfflineFolder(Database& db, const std::string& path);
ItemStoreResult<std::string> cloudPathOf(Database& db, const SyncItemIdentifier& identifier);
ItemStoreResult<std::optional<std::string>> offlinePathOf(Database& db,
                                                          const SyncItemIdentifier& identifier);
/// What climbing the parents from a row meets (tombstones too): up to the top of the tree, a
/// parent the table does not hold, or the row where a cycle closes.
struct ParentChain {
  /// The starting row and every parent met, the last one included.
  std::unordered_set<std::string> identifiers;
  /// The row met a second time, when the chain is a cycle.
  std::optional<std::string> cycleClosesAt;
};
ItemStoreResult<ParentChain> parentChain(Database& db, const std::string& from);
ItemStoreResult<SyncChangeBatch> readChanges(Database& db,
                                             const std::optional<SyncFolderIdentifier>& container,
                                             SyncAnchor anchor, size_t maxBatchSize,
                                             base::Logger* logger);

}  // namespace tarnix::common::detail
