#pragma once
// Items written into the host's drive database before its domain starts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameworkHost.hpp"
#include "common/DriveDatabase.hpp"
#include "common/SyncItemStorage.hpp"

namespace tarnix::testing {

inline const common::SyncFolderIdentifier kSeedRoot{"00000000-0000-4000-8000-00000000r00t"};

inline common::SyncItem seedItem(
    common::SyncItemIdentifier identifier, common::SyncFolderIdentifier parent, std::string name,
    common::SyncItemPermission permission = common::SyncItemPermission::editor) {
  common::SyncItem item;
  item.cloudIdentifier =
      identifier.isFolder()
          ? common::CloudItemIdentifier(common::CloudFolderIdentifier{"c-" + identifier.rawValue()})
          : common::CloudItemIdentifier(common::CloudGroupIdentifier{"c-" + identifier.rawValue()});
  item.itemIdentifier = std::move(identifier);
  item.parentItemIdentifier = std::move(parent);
  item.filename = std::move(name);
  item.permission = permission;
  item.uploadDate = base::dateFromMillisecondsSince1970(1700000000000);
  return item;
}

/// Writes the drive's root folder and `children` (in one transaction) into the host's drive
/// database, then closes it.
inline void seedDrive(FrameworkHost& host, const std::vector<common::SyncItem>& children) {
  auto database = common::DriveDatabase::open(host.driveDirectory(), kHostDrive);
  ASSERT_TRUE(database) << database.error().description();
  auto storage = common::SyncItemStorage::make((*database)->dbQueue(), "/Shared/Team", nullptr);
  ASSERT_TRUE(storage) << storage.error().description();
  ASSERT_TRUE((*storage)->setRootItem(seedItem(kSeedRoot, common::SyncFolderIdentifier::zero(),
                                               "Team", common::SyncItemPermission::owner)));
  if (children.empty()) return;
  common::SyncItemListPatch patch;
  patch.createdItems = children;
  auto applied = (*storage)->apply(patch, false);
  ASSERT_TRUE(applied) << applied.error().description();
}

}  // namespace tarnix::testing
