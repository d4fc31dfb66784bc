// The drive's uploads reach the locking upload tracker through their progress and completion
// posts: a large upload of a file of this drive wants its file locked until it succeeds;
// other drives' uploads and unknown paths are ignored.
#include <gtest/gtest.h>

#include "../fileprovider/SeededDrive.hpp"
#include "common/DriveDatabase.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"
#include "fileprovider/locking/LockingUploadsObserver.hpp"
#include "support/TempDir.hpp"

namespace tarnix::fileprovider {
namespace {

TEST(LockingUploadsObserverTest, LargeUploadsOfThisDriveKeepTheirFileLockedUntilTheyEnd) {
  testing::TempDir dir;
  const std::string driveID = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee";
  auto database = common::DriveDatabase::open(dir.path(), driveID);
  ASSERT_TRUE(database);
  auto storage = common::SyncItemStorage::make((*database)->dbQueue(), "/Shared/Team", nullptr);
  ASSERT_TRUE(storage);
  std::shared_ptr<common::SyncItemStorage> items = std::move(*storage);
  ASSERT_TRUE(items->setRootItem(
      testing::seedItem(testing::kSeedRoot, common::SyncFolderIdentifier::zero(), "Team")));
  const common::SyncFileIdentifier video{"video"};
  common::SyncItemListPatch patch;
  patch.createdItems = {testing::seedItem(video, testing::kSeedRoot, "film.mkv")};
  ASSERT_TRUE(items->apply(patch, false));

  common::Drive drive;
  drive.identifier = driveID;
  drive.cloudStartPath = "/Shared/Team";
  auto clock = base::ManualClock::make();
  auto tracker = std::make_shared<LockingUploadTracker>(LockingUploadTracker::Configuration{},
                                                        base::Logger::null());
  int signals = 0;
  tracker->setLockSyncSignal([&] { ++signals; });
  platform::InProcessNotificationCenter center;
  LockingUploadsObserver observer(drive, items, tracker, clock, base::Logger::null());
  observer.observe(center);

  const auto progress = [&](const std::string& drive, const std::string& path) {
    center.post(kFileUploadProgressNotification,
                UploadInfo{200 << 20, path, drive, 8 << 20}.json());
  };
  progress("another-drive", "/Shared/Team/film.mkv");
  progress(driveID, "/Shared/Team/unknown.mkv");
  progress(driveID, "/Shared/Elsewhere/film.mkv");
  EXPECT_TRUE(tracker->ongoingUploads(clock->now()).empty());

  progress(driveID, "/Shared/Team/film.mkv");
  progress(driveID, "/Shared/Team/film.mkv");
  auto ongoing = tracker->ongoingUploads(clock->now());
  ASSERT_EQ(ongoing.size(), 1u);
  EXPECT_EQ(ongoing[0].itemIdentifier, video);
  EXPECT_EQ(ongoing[0].cloudPath, "/Shared/Team/film.mkv");
  EXPECT_EQ(signals, 1);

  center.post(kFileUploadCompletedNotification,
              UploadCompletedEvent{"/Shared/Team/film.mkv", driveID, true}.json());
  EXPECT_TRUE(tracker->ongoingUploads(clock->now()).empty());
  EXPECT_EQ(signals, 2);
}

}  // namespace
}  // namespace tarnix::fileprovider
