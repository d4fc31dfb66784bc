// The locking synchroniser's decisions as a table of cases on a fixed clock, lock lifetimes,
// the blocklist, the application lists sent in headers, the upload tracker's thresholds and
// the already-locked notifier.
#include <gtest/gtest.h>

#include "fileprovider/locking/AlreadyLockedNotifier.hpp"
#include "fileprovider/locking/LockingPass.hpp"
#include "fileprovider/locking/LockingUploadTracker.hpp"

namespace tarnix::fileprovider {
namespace {

using common::LocalLock;
using common::LocalLockSource;
using common::LockingApplicationData;
using common::SyncFileIdentifier;
using std::chrono::seconds;

const base::Date kPassTime = base::dateFromMillisecondsSince1970(1800000000000);
const SyncFileIdentifier kDoc{"doc"};
const SyncFileIdentifier kSheet{"sheet"};
const SyncFileIdentifier kVideo{"video"};

OpenFile opened(const SyncFileIdentifier& file, std::string app, std::string version = "1") {
  OpenFile open;
  open.itemIdentifier = file;
  open.appName = std::move(app);
  open.appVersion = std::move(version);
  open.timestamp = kPassTime;
  return open;
}

// An automatic lock taken `age` before the pass.
LocalLock automaticLock(const SyncFileIdentifier& file, seconds age) {
  return makeLocalLock(file, LocalLockSource::automatic(), "token-" + file.rawValue,
                       kPassTime - age, kAutomaticLockTimeout, {{"writer", "1"}});
}

LocalLock manualLock(const SyncFileIdentifier& file, seconds age, seconds timeout) {
  return makeLocalLock(file, LocalLockSource::manual(), "manual-" + file.rawValue, kPassTime - age,
                       timeout, {});
}

std::map<SyncFileIdentifier, LockingItemFacts> editableFiles() {
  return {{kDoc, {"report.odt", true, false}},
          {kSheet, {"budget.ods", true, false}},
          {kVideo, {"film.mkv", true, false}}};
}

struct PassCase {
  const char* name;
  std::optional<std::vector<OpenFile>> openFiles;
  std::vector<LocalLock> localLocks;
  std::vector<OngoingUpload> uploads;
  std::map<SyncFileIdentifier, LockingItemFacts> items;
  LockingPassPlan expected;
};

TEST(LockingPassTest, DecidesWhatToLockReleaseAndRenew) {
  const auto blocked = [] {
    auto facts = editableFiles();
    facts[kDoc].lockedBySomebodyElse = true;
    facts[kSheet].lockingAllowed = false;
    return facts;
  }();
  const std::vector<PassCase> cases = {
      {"an open file is locked with its application",
       std::vector{opened(kDoc, "writer", "7.5")},
       {},
       {},
       editableFiles(),
       {.toLock = {{kDoc, {{"writer", "7.5"}}}}}},
      {"two processes give one lock naming both",
       std::vector{opened(kDoc, "writer", "7.5"), opened(kDoc, "vim", "9.0"),
                   opened(kDoc, "writer", "7.5")},
       {},
       {},
       editableFiles(),
       {.toLock = {{kDoc, {{"writer", "7.5"}, {"vim", "9.0"}}}}}},
      {"a blocklisted process alone locks nothing; with another process it does",
       std::vector{opened(kDoc, "tracker-miner-fs-3"), opened(kSheet, "baloo_file"),
                   opened(kSheet, "calc", "24")},
       {},
       {},
       editableFiles(),
       {.toLock = {{kSheet, {{"calc", "24"}}}}}},
      {"a blocklisted extension is never locked",
       std::vector{opened(kDoc, "writer")},
       {},
       {},
       {{kDoc, {"notes.swp", true, false}}},
       {}},
      {"a file of somebody else's lock or not lockable is left alone",
       std::vector{opened(kDoc, "writer"), opened(kSheet, "calc")},
       {},
       {},
       blocked,
       {}},
      {"a path that is no file of the drive is left alone",
       std::vector{opened(SyncFileIdentifier{"elsewhere"}, "writer")},
       {},
       {},
       editableFiles(),
       {}},
      {"a file already locked is not locked again; young locks wait",
       std::vector{opened(kDoc, "writer")},
       {automaticLock(kDoc, seconds(100))},
       {},
       editableFiles(),
       {}},
      {"renewal comes at half the lock's life, well before it lapses",
       std::vector{opened(kDoc, "writer")},
       {automaticLock(kDoc, seconds(150))},
       {},
       editableFiles(),
       {.toRenew = {automaticLock(kDoc, seconds(150))}}},
      {"an automatic lock of a closed file is released (also one left by a killed process)",
       std::vector<OpenFile>{},
       {automaticLock(kDoc, seconds(10)), automaticLock(kSheet, seconds(290))},
       {},
       editableFiles(),
       {.toUnlock = {kDoc, kSheet}}},
      {"a file held only by a blocklisted process is released",
       std::vector{opened(kDoc, "nautilus")},
       {automaticLock(kDoc, seconds(10))},
       {},
       editableFiles(),
       {.toUnlock = {kDoc}}},
      {"manual locks are neither released nor renewed, and forgotten once run out",
       std::vector<OpenFile>{},
       {manualLock(kDoc, seconds(200), seconds(3600)),
        manualLock(kSheet, seconds(4000), seconds(3600))},
       {},
       editableFiles(),
       {.toForget = {kSheet}}},
      {"a failed listing locks and releases nothing, but renewals go on",
       std::nullopt,
       {automaticLock(kDoc, seconds(10)), automaticLock(kSheet, seconds(200))},
       {{kVideo, 200 << 20, "/film.mkv"}},
       editableFiles(),
       {.toRenew = {automaticLock(kSheet, seconds(200))}}},
      {"an upload keeps its closed file locked and locks a file nobody opened",
       std::vector<OpenFile>{},
       {automaticLock(kDoc, seconds(10))},
       {{kDoc, 200 << 20, "/report.odt"}, {kVideo, 200 << 20, "/film.mkv"}},
       editableFiles(),
       {.toLock = {{kVideo, {}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LockingPassInput input;
    input.openFiles = c.openFiles;
    input.localLocks = c.localLocks;
    input.uploads = c.uploads;
    input.items = c.items;
    input.blocklist = LockingBlocklist::makeDefault();
    input.now = kPassTime;
    const auto plan = planLockingPass(input);
    EXPECT_EQ(plan.toLock, c.expected.toLock);
    EXPECT_EQ(plan.toUnlock, c.expected.toUnlock);
    EXPECT_EQ(plan.toRenew, c.expected.toRenew);
    EXPECT_EQ(plan.toForget, c.expected.toForget);
  }
}

TEST(LockingPassTest, LockLifetimesAndTheManualDuration) {
  struct Case {
    const char* name;
    LocalLockSource source;
    std::optional<double> manualLockDuration;
    seconds expected;
  };
  const std::vector<Case> cases = {
      {"automatic", LocalLockSource::automatic(), 3600, seconds(300)},
      {"manual, unset", LocalLockSource::manual(), std::nullopt, seconds(604800)},
      {"manual, zero", LocalLockSource::manual(), 0, seconds(604800)},
      {"manual, one hour", LocalLockSource::manual(), 3600, seconds(3600)},
      {"manual, negative", LocalLockSource::manual(), -3600, seconds(604800)},
      {"manual, not a number", LocalLockSource::manual(), std::nan(""), seconds(604800)},
      {"manual, a fraction", LocalLockSource::manual(), 0.2, seconds(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(lockTimeout(c.source, c.manualLockDuration), c.expected);
  }
  // The lock must be renewed long before it lapses: passes run every 15 s, not exactly on time.
  const auto lock =
      makeLocalLock(kDoc, LocalLockSource::automatic(), "t", kPassTime, kAutomaticLockTimeout, {});
  EXPECT_EQ(lock.expirationDate, kPassTime + seconds(300));
  EXPECT_EQ(lock.needsRelockBefore, kPassTime + seconds(150));
}

TEST(LockingPassTest, BlocklistMatchesProcessesAndExtensionsWithoutCase) {
  const auto list = LockingBlocklist::make({"Backup-Tool", ".PSD", "*.bak", "  ", "."});
  EXPECT_TRUE(list.blocksProcess("backup-tool"));
  EXPECT_TRUE(list.blocksProcess("Nautilus"));
  // As the kernel names them: cut to 15 characters.
  EXPECT_TRUE(list.blocksProcess("tracker-miner-f"));
  EXPECT_TRUE(list.blocksProcess("baloo_file_extr"));
  EXPECT_FALSE(list.blocksProcess("tracker-miner"));
  EXPECT_FALSE(list.blocksProcess("writer"));
  EXPECT_FALSE(list.blocksProcess(""));
  EXPECT_TRUE(list.blocksFilename("Poster.psd"));
  EXPECT_TRUE(list.blocksFilename("old.BAK"));
  EXPECT_TRUE(list.blocksFilename(".report.odt.swp"));
  EXPECT_FALSE(list.blocksFilename("report.odt"));
  EXPECT_FALSE(list.blocksFilename("Makefile"));
  EXPECT_FALSE(list.blocksFilename("trailing."));
  EXPECT_EQ(list.processNames.size(), 1u);
  EXPECT_EQ(list.filenameExtensions.size(), 2u);
}

TEST(LockingPassTest, ApplicationListsKeepOneApplicationPerEntry) {
  struct Case {
    std::vector<LockingApplicationData> applications;
    std::string names;
    std::string versions;
  };
  const std::vector<Case> cases = {
      {{{"writer", "7.5"}, {"vim", "9.0"}}, "writer|vim", "7.5|9.0"},
      {{{"a|b", "1|2"}}, "a b", "1 2"},
      {{{"evil\r\nX-Injected: yes", "1\n"}}, "evil X-Injected: yes", "1"},
      {{{"tab\there\x7f", "\x01"}}, "tab here", ""},
      {{}, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.names);
    EXPECT_EQ(common::joinedApplicationNames(c.applications), c.names);
    EXPECT_EQ(common::joinedApplicationVersions(c.applications), c.versions);
    // What was stored splits back into as many applications.
    EXPECT_EQ(common::splitApplications(c.names, c.versions).size(), c.applications.size());
  }
}

TEST(LockingPassTest, UploadTrackerLocksLargeAndLongUploadsAndKeepsFailedOnesAWhile) {
  LockingUploadTracker::Configuration configuration;
  struct Case {
    const char* name;
    std::int64_t size;
    seconds running;
    std::optional<seconds> endedAgo;
    bool failed;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"small and short", 1 << 20, seconds(5), std::nullopt, false, false},
      {"large", 104857600, seconds(1), std::nullopt, false, true},
      {"long", 1 << 20, seconds(30), std::nullopt, false, true},
      {"large, finished", 200 << 20, seconds(40), seconds(1), false, false},
      {"large, failed a minute ago", 200 << 20, seconds(40), seconds(60), true, true},
      {"large, failed long ago", 200 << 20, seconds(40), seconds(300), true, false},
      {"small, failed quickly", 1 << 20, seconds(2), seconds(1), true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LockingUploadTracker::TrackedUpload upload;
    upload.itemIdentifier = kVideo;
    upload.fileSize = c.size;
    const auto ended = c.endedAgo ? kPassTime - *c.endedAgo : kPassTime;
    upload.startTime = ended - c.running;
    if (c.endedAgo) upload.endTime = ended;
    upload.failed = c.failed;
    EXPECT_EQ(LockingUploadTracker::needsLock(upload, configuration, kPassTime), c.expected);
  }

  LockingUploadTracker tracker(configuration, base::Logger::null());
  int signals = 0;
  tracker.setLockSyncSignal([&] { ++signals; });
  using Change = LockingUploadTracker::UploadChange;
  tracker.apply({kVideo, Change::Kind::started, 200 << 20, "/film.mkv"}, kPassTime);
  EXPECT_EQ(signals, 1);
  EXPECT_EQ(tracker.ongoingUploads(kPassTime).size(), 1u);
  tracker.apply({kVideo, Change::Kind::succeeded}, kPassTime + seconds(50));
  EXPECT_EQ(signals, 2);
  EXPECT_TRUE(tracker.ongoingUploads(kPassTime + seconds(50)).empty());
}

TEST(LockingPassTest, AlreadyLockedFilesAreReportedOncePerFile) {
  std::vector<AlreadyLockedNotification> shown;
  AlreadyLockedNotifier notifier([&](const auto& n) { shown.push_back(n); }, base::Logger::null());
  common::CloudLockInfo bob;
  bob.identifier = 2;
  bob.firstName = "Bob";
  bob.lastName = "Brown";
  EXPECT_TRUE(notifier.fileIsAlreadyLocked(kDoc, "report.odt", bob));
  EXPECT_FALSE(notifier.fileIsAlreadyLocked(kDoc, "report.odt", bob));
  EXPECT_TRUE(notifier.fileIsAlreadyLocked(kSheet, "budget.ods", bob));
  notifier.forget(kDoc);
  EXPECT_TRUE(notifier.fileIsAlreadyLocked(kDoc, "report.odt", bob));
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0],
            (AlreadyLockedNotification{"report.odt", "File is already locked by Bob Brown"}));
}

}  // namespace
}  // namespace tarnix::fileprovider
