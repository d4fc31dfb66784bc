#pragma once
// What a change announced by the cloud means for the drive's listings: each event's paths are
// resolved to items of the store, and the event becomes the listing events that name the
// folders to list again (origin "red"). Listing them is how the store learns the change: a
// listing is the cloud's word on a folder, so an event never patches the store by itself.
//
// An event about a folder the store does not know (never listed) has an undiscovered location:
// nothing here shows that folder, so nothing needs to change. Events that carry no change
// (nop) are skipped.
//
// Not thread-safe: one translation per feed.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "cloudfs/responses/EventResponses.hpp"
#include "common/SyncItemStorage.hpp"

namespace tarnix::fileprovider {

struct ListingEvent {
  enum class Kind {
    didAddEntryForItem,
    didDeleteItem,
    didReparentItem,
    didRenameItem,
    didRestoreItemFromTrash,
    didChangePermission,
    didChangeContentVersion,
    didLockFile,
    didUnlockFile,
  };
  Kind kind = Kind::didAddEntryForItem;
  /// The item concerned, where the store knows it.
  std::optional<common::SyncItemIdentifier> item;
  /// The folder the item is (or was) in; for a move, its new folder.
  std::optional<common::SyncFolderIdentifier> folder;
  /// For a move: the folder it left.
  std::optional<common::SyncFolderIdentifier> from;

  /// The folders whose listing shows this change.
  std::vector<common::SyncFolderIdentifier> foldersToList() const;
  /// Lock changes need the folder's locks read again.
  bool refreshesLocks() const { return kind == Kind::didLockFile || kind == Kind::didUnlockFile; }
  bool operator==(const ListingEvent&) const = default;
};

/// What translating a batch gave.
struct TranslatedEvents {
  std::vector<ListingEvent> events;
  std::size_t skippedEvents = 0;
  std::size_t eventsWithUndiscoveredLocations = 0;

  /// The folders to list again, each once, and whether its locks must be read again.
  std::map<common::SyncFolderIdentifier, bool> foldersToList() const;
};

class ListingEventTranslation {
 public:
  /// `cloudStartPath`: the drive root's cloud path ("/Shared/Team"); event paths are absolute.
  ListingEventTranslation(std::shared_ptr<common::SyncItemStorage> itemStorage,
                          std::string cloudStartPath);

  /// One event of the sync back end's feed.
  void translate(const cloudfs::CFSSyncEvent& event, TranslatedEvents& into);
  /// One event announced by the real-time socket (an action and its paths).
  void translate(const std::string& action, const std::optional<std::string>& sourcePath,
                 const std::optional<std::string>& targetPath, TranslatedEvents& into);
  TranslatedEvents translate(const std::vector<cloudfs::CFSSyncEvent>& events);

 private:
  /// The item at an absolute cloud path, none when the store does not know it (or the path
  /// lies outside the drive).
  std::optional<common::SyncItemIdentifier> identifier(const std::string& cloudPath);
  std::optional<common::SyncFolderIdentifier> parentFolder(const std::string& cloudPath);

  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::string cloudStartPath_;
  std::map<std::string, common::SyncItemIdentifier> pathToIdentifier_;
};

}  // namespace tarnix::fileprovider
