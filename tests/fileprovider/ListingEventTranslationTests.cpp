// Cloud events turned into the folders to list again: paths resolved through the store (below
// the drive's start path only), moves listing both folders, lock changes reading locks again,
// and events about folders the store never listed counted, not listed.

#include <gtest/gtest.h>

#include "common/DriveDatabase.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/events/ListingEventTranslation.hpp"
#include "support/TempDir.hpp"

namespace tarnix::testing {
namespace {

using cloudfs::CFSSyncEvent;
using common::SyncFolderIdentifier;
using fileprovider::ListingEventTranslation;

const SyncFolderIdentifier kTeam{"team"};
const SyncFolderIdentifier kDocs{"docs"};
const SyncFolderIdentifier kSub{"sub"};
const SyncFolderIdentifier kArchive{"archive"};

common::SyncItem stored(common::SyncItemIdentifier identifier, SyncFolderIdentifier parent,
                        std::string name) {
  common::SyncItem item;
  item.itemIdentifier = std::move(identifier);
  item.parentItemIdentifier = std::move(parent);
  item.filename = std::move(name);
  item.permission = common::SyncItemPermission::owner;
  return item;
}

CFSSyncEvent event(std::string action, std::optional<std::string> target,
                   std::optional<std::string> source = std::nullopt) {
  CFSSyncEvent e;
  e.revision = 1;
  e.action = {std::move(action)};
  e.targetFilePath = std::move(target);
  e.sourceFilePath = std::move(source);
  return e;
}

TEST(ListingEventTranslation, EventsNameTheFoldersToListAgain) {
  TempDir dir;
  auto database = common::DriveDatabase::open(dir.path(), "3c1d5e8a-2b4f-4a6c-9d7e-1f2a3b4c5d6e");
  ASSERT_TRUE(database) << database.error().description();
  auto storage = common::SyncItemStorage::make((*database)->dbQueue(), "/Shared/Team", nullptr);
  ASSERT_TRUE(storage);
  std::shared_ptr<common::SyncItemStorage> store = std::move(*storage);
  ASSERT_TRUE(store->setRootItem(stored(kTeam, SyncFolderIdentifier::zero(), "Team")));
  common::SyncItemListPatch patch;
  patch.createdItems = {stored(kDocs, kTeam, "Docs"), stored(kSub, kDocs, "Sub"),
                        stored(kArchive, kTeam, "Archive"),
                        stored(common::SyncFileIdentifier{"a"}, kDocs, "a.txt")};
  ASSERT_TRUE(store->apply(patch, false));

  struct Case {
    const char* name;
    CFSSyncEvent event;
    std::map<SyncFolderIdentifier, bool> folders;
    std::size_t skipped = 0;
    std::size_t undiscovered = 0;
  };
  const Case cases[] = {
      {"a new file in a known folder",
       event("ADD_FILE", "/Shared/Team/Docs/new.txt"),
       {{kDocs, false}}},
      {"a new file at the drive's root", event("ADD_FOLDER", "/Shared/Team/New"), {{kTeam, false}}},
      {"a deletion", event("DELETE_FILE", "/Shared/Team/Docs/a.txt"), {{kDocs, false}}},
      {"a rename",
       event("MOVE_FILE", "/Shared/Team/Docs/b.txt", "/Shared/Team/Docs/a.txt"),
       {{kDocs, false}}},
      {"a move lists both folders",
       event("MOVE_FOLDER", "/Shared/Team/Archive/Sub", "/Shared/Team/Docs/Sub"),
       {{kDocs, false}, {kArchive, false}}},
      {"a move in from outside the drive",
       event("MOVE_FILE", "/Shared/Team/Docs/c.txt", "/Shared/Other/c.txt"),
       {{kDocs, false}}},
      {"a new version",
       event("UPGRADE_TO_LATEST_FILE", "/Shared/Team/Docs/a.txt"),
       {{kDocs, false}}},
      {"a lock reads the folder's locks again",
       event("LOCK_FILE", "/Shared/Team/Docs/a.txt"),
       {{kDocs, true}}},
      {"a folder's permission lists it too",
       event("PERMISSION_CHANGE", "/Shared/Team/Docs/Sub"),
       {{kDocs, false}, {kSub, false}}},
      {"a folder never listed", event("ADD_FILE", "/Shared/Team/Docs/Sub/Deep/x.txt"), {}, 0, 1},
      {"outside the drive", event("ADD_FILE", "/Shared/Other/x.txt"), {}, 0, 1},
      {"a nop", CFSSyncEvent::syntheticNop(9), {}, 1, 0},
      {"no paths", event("ADD_FILE", std::nullopt), {}, 1, 0},
      {"an action of a later version",
       event("SOMETHING_NEW", "/Shared/Team/Docs/x"),
       {{kDocs, false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ListingEventTranslation translation(store, "/Shared/Team/");
    auto translated = translation.translate({c.event});
    EXPECT_EQ(translated.foldersToList(), c.folders);
    EXPECT_EQ(translated.skippedEvents, c.skipped);
    EXPECT_EQ(translated.eventsWithUndiscoveredLocations, c.undiscovered);
  }
}

}  // namespace
}  // namespace tarnix::testing
