#pragma once
// Creates, updates and resolves the skips of one drive for the services that find them (the
// sync service, the listing service), logs each change and tells the desktop application with
// the distributed notification "com.tarnix.SkippedFilesChanged" (object: the drive's domain
// identifier).
//
// Threads: any thread but the database writer queue may call the plain operations; each runs
// in one transaction and posts the notification after it committed. The operations that take
// a `Database&` run inside the caller's transaction on the writer queue and post nothing:
// the caller posts with `notifySkipsChanged()` once its transaction committed, when the
// returned change says something changed.
//
// Features: with "skips" off no skip is written (unwanted cloud names are still filtered out);
// with "deletion-conflict-skip" off no deletion-conflict skip is written or detected.
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/Logger.hpp"
#include "common/FeatureList.hpp"
#include "common/SkipsRepository.hpp"
#include "common/SyncItem.hpp"
#include "common/UnwantedItemRules.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::common {

inline constexpr const char* kSkippedFilesChangedNotification = "com.tarnix.SkippedFilesChanged";

struct SkipsError {
  enum class Kind {
    /// Reading or writing the table failed (or a stored row is malformed).
    database,
    /// The item has no skip (of the kind the operation needs).
    noSuchSkip,
  };
  SkipsError(DatabaseError error) : kind(Kind::database), databaseError(std::move(error)) {}
  static SkipsError noSuchSkip(const SyncItemIdentifier& itemIdentifier);

  Kind kind = Kind::database;
  DatabaseError databaseError;
  std::string itemIdentifier;

  std::string description() const;
};

template <class T>
using SkipsResult = std::expected<T, SkipsError>;

/// What a skip is recorded for: an item of the store, or a name from the cloud that never
/// becomes one.
struct SkipSubject {
  SyncItemIdentifier itemIdentifier = SyncFolderIdentifier::zero();
  SkippedItemRealm realm = SkippedItemRealm::online;
  std::string filename;
  std::optional<SyncFolderIdentifier> parentItemIdentifier;
  std::optional<base::Date> creationDate;

  static SkipSubject of(const SyncItem& item);
  bool isDirectory() const { return itemIdentifier.isFolder(); }
};

/// A child of a listed folder whose name the cloud rules reject.
struct UnwantedCloudItem {
  std::string filename;
  ItemType type = ItemType::file;
  std::optional<base::Date> creationDate;
};

/// Whether an operation changed the table (and so the desktop application must be told).
struct SkipsChange {
  bool changed = false;
};

class SkipsService {
 public:
  /// `featureList` must outlive the service. `notificationObject` is the object of every
  /// notification posted (the drive's domain identifier). `clock` stamps skips; null: the
  /// system's.
  SkipsService(std::shared_ptr<SkipsRepository> skipsRepository,
               std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
               const FeatureList& featureList, base::Logger logger, std::string notificationObject,
               std::shared_ptr<base::Clock> clock = nullptr);

  const std::shared_ptr<SkipsRepository>& skipsRepository() const { return skipsRepository_; }

  /// Records that the subject cannot be synchronised for `reason`: a new skip, or an update of
  /// the item's skip when its reason, name or parent differ (its viewed and retried marks are
  /// then cleared). Returns the skip as stored; none when the "skips" feature is off.
  SkipsResult<std::optional<SkippedItem>> createSkip(const SkipSubject& subject, SkipReason reason);
  SkipsResult<std::optional<SkippedItem>> createSkip(Database& db, const SkipSubject& subject,
                                                     SkipReason reason, SkipsChange& change);

  /// Records the name under which the skipped item was re-created. Fails with `noSuchSkip`
  /// when the item has no skip.
  SkipsResult<SkippedItem> updateSkip(const SyncItemIdentifier& itemIdentifier,
                                      const std::string& bumpedFilename);

  /// Drops the item's skip; false when it had none.
  SkipsResult<bool> resolveSkip(const SyncItemIdentifier& itemIdentifier);
  /// Drops the skips of items that synchronised (or went away); those without one are ignored.
  SkipsResult<SkipsChange> removeSkipsIfPresent(const std::vector<SyncItemIdentifier>& items);
  SkipsResult<SkipsChange> removeSkipsIfPresent(Database& db,
                                                const std::vector<SyncItemIdentifier>& items);
  /// The same for an identifier in its prefixed text form, as published after a deletion; a
  /// text that is no identifier is logged and ignored.
  void itemWasDeleted(const std::string& itemIdentifierText);

  /// The deletion-conflict skip of a name in a folder: an item the system re-creates after its
  /// deletion conflicted. Failures log "Failed to detect deletionConflict skip" and give none.
  std::optional<SkippedItem> deletionConflictSkip(const SyncFolderIdentifier& parent,
                                                  const std::string& filename);
  /// Moves a deletion-conflict skip to the item re-created in its place. Fails with
  /// `noSuchSkip` when the item has no deletion-conflict skip any more.
  SkipsResult<SkippedItem> updateDeletionConflictSkip(const SkippedItem& skip,
                                                      const SyncItemIdentifier& newItemIdentifier);

  /// Whether a name from the cloud must not become an item.
  static bool isUnwantedCloudName(std::string_view filename, ItemType type) {
    return UnwantedItemRules::cloudFSRules().matches(filename, type);
  }
  /// Brings the `excluded` skips of a listed folder in line with its unwanted children: a skip
  /// for each new one (keeping the identifier of an existing skip of the same name and type),
  /// and the skips of names no longer listed resolved. Runs in the listing's transaction.
  SkipsResult<SkipsChange> reconcileUnwantedCloudItems(
      Database& db, const SyncFolderIdentifier& parent, SkippedItemRealm realm,
      const std::vector<UnwantedCloudItem>& unwanted);

  /// Posts "com.tarnix.SkippedFilesChanged".
  void notifySkipsChanged();

 private:
  bool skipsEnabled() const;
  SkipsResult<void> resolve(Database& db, const SkippedItem& skip, SkipsChange& change);
  template <class T>
  SkipsResult<T> inTransaction(const std::function<SkipsResult<T>(Database&)>& body,
                               const char* failureMessage);

  std::shared_ptr<SkipsRepository> skipsRepository_;
  std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter_;
  const FeatureList& featureList_;
  base::Logger logger_;
  std::string notificationObject_;
  std::shared_ptr<base::Clock> clock_;
};

}  // namespace tarnix::common
