// Cloud locks through the mount: files applications hold open for writing are locked for the
// user while they are open, the user locks and unlocks by hand with `tarnix`, and locks left by
// a mount that was killed are released by the next one.
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "fuse/EmulatorMountFixture.hpp"

namespace tarnix::host {
namespace {

using namespace mounttest;

class LockingMountTest : public EmulatorMountTest {
 protected:
  // The file's lock on the cloud as bob sees it: null when it is not locked.
  base::JSONValue cloudLock(const std::string& path) {
    auto answer = base::parseJSON(
        cloud({"-H", "Authorization: " + EmulatorProcess::authorization(EmulatorProcess::kBobToken),
               emulator_->baseURL() + "/api/v1/fs/" + encoded(path) + "?include_locks=true"}));
    if (!answer || !answer->is_object()) return base::JSONValue();
    return answer->value("lock", base::JSONValue());
  }
  bool lockedByAlice(const std::string& path) {
    const auto lock = cloudLock(path);
    return lock.is_object() && lock.value("first_name", std::string()) == "Alice";
  }
  bool unlocked(const std::string& path) { return cloudLock(path).is_null(); }
  std::string locks() { return tarnix({"locks", "Demo"}).output; }
  // The holder the mount names in the file's attribute ("" when none).
  std::string lockOwner(const std::string& path) {
    std::string owner(256, '\0');
    const ssize_t n = ::getxattr((mountPoint() / path).c_str(), "user.tarnix.lockOwner",
                                 owner.data(), owner.size());
    owner.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return owner;
  }
  // The cloud's administrator breaks the lock.
  void breakLock(const std::string& path) {
    cloud({"-X", "POST", "-H",
           "Authorization: " + EmulatorProcess::authorization(EmulatorProcess::kAdminToken), "-H",
           "Content-Type: application/json", "--data",
           R"({"action": "unlock", "lock_token": null})",
           emulator_->baseURL() + "/api/v1/fs/" + encoded(path)});
  }
};

// Held open for writing, a file is locked for alice at once and released when it is closed;
// what is written meanwhile goes to the cloud with the lock's token.
TEST_F(LockingMountTest, AFileOpenForWritingIsLockedUntilItIsClosed) {
  const std::string path = "Shared/Documents/Notes.txt";
  const int fd = ::open((mountPoint() / path).c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_TRUE(eventually([&] { return lockedByAlice(path); })) << cloudLock(path).dump();
  const auto listed = locks();
  EXPECT_NE(listed.find("/Shared/Documents/Notes.txt\tautomatic"), std::string::npos) << listed;

  forgetRequests();
  ASSERT_EQ(::write(fd, "more\n", 5), 5);
  ASSERT_EQ(::fsync(fd), 0) << std::strerror(errno);
  EXPECT_TRUE(eventually([&] { return onCloud("/" + path) == seededFiles()[path] + "more\n"; }));
  auto requests =
      base::parseJSON(cloud({"-H", asAdmin(), emulator_->baseURL() + "/__admin/requests"}));
  ASSERT_TRUE(requests);
  bool sentWithToken = false;
  for (const auto& r : *requests) {
    if (r.value("path", std::string()).starts_with("/api/v1/fs-content") &&
        r.value("method", std::string()) == "POST")
      sentWithToken = r["headers"].contains("x-tarnix-lock-token");
  }
  EXPECT_TRUE(sentWithToken);

  ::close(fd);
  EXPECT_TRUE(eventually([&] { return unlocked(path); })) << cloudLock(path).dump();
  EXPECT_TRUE(eventually([&] { return locks().find("Notes.txt") == std::string::npos; }));
}

// A file locked by another user opens for reading only, and names its holder.
TEST_F(LockingMountTest, AFileLockedByAnotherUserCannotBeWritten) {
  const fs::path locked = mountPoint() / "Shared/Documents/Locked.docx";
  EXPECT_EQ(testing::readFile(locked), seededFiles()["Shared/Documents/Locked.docx"]);
  errno = 0;
  EXPECT_EQ(::open(locked.c_str(), O_WRONLY), -1);
  EXPECT_EQ(errno, EACCES);
  // The holder is named once the cloud was asked for it, after the listing.
  EXPECT_TRUE(eventually([&] { return lockOwner("Shared/Documents/Locked.docx") == "Bob Brown"; }))
      << lockOwner("Shared/Documents/Locked.docx");
  const auto refused = tarnix({"lock", "Demo", "/Shared/Documents/Locked.docx"});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.errors.find("Locked.docx"), std::string::npos) << refused.errors;
}

// `tarnix lock` and `unlock` through the mount: a manual lock stays after the file is closed,
// a lock the cloud's administrator breaks leaves the list after the folder is listed again,
// and what cannot be locked is refused with its reason.
TEST_F(LockingMountTest, ManualLocksThroughTheMount) {
  const std::string path = "Shared/Documents/Report.docx";
  auto locked = tarnix({"lock", "Demo", "/" + path});
  ASSERT_EQ(locked.exitStatus, 0) << locked.errors;
  EXPECT_EQ(locked.output, "Locked /" + path + "\n");
  EXPECT_TRUE(lockedByAlice(path)) << cloudLock(path).dump();
  EXPECT_NE(locks().find("/" + path + "\tmanual"), std::string::npos) << locks();

  auto unlockedNow = tarnix({"unlock", "Demo", "/" + path});
  ASSERT_EQ(unlockedNow.exitStatus, 0) << unlockedNow.errors;
  EXPECT_TRUE(unlocked(path)) << cloudLock(path).dump();
  EXPECT_EQ(locks(), "No locks\n");

  // Locked again; once the mount shows the lock (the cloud announces it), the administrator
  // breaks it.
  ASSERT_EQ(tarnix({"lock", "Demo", "/" + path}).exitStatus, 0);
  EXPECT_TRUE(eventually([&] { return !lockOwner(path).empty(); }));
  breakLock(path);
  ASSERT_TRUE(unlocked(path));
  auto refreshed = tarnix({"refresh", "Demo", "/Shared/Documents"});
  EXPECT_EQ(refreshed.exitStatus, 0) << refreshed.errors;
  EXPECT_EQ(refreshed.output, "Refreshed /Shared/Documents\n");
  // The local lock goes, and the mount hears of the change, right after the listing.
  EXPECT_TRUE(eventually([&] { return locks() == "No locks\n"; })) << locks();
  EXPECT_TRUE(eventually([&] { return lockOwner(path).empty(); })) << lockOwner(path);

  struct Refusal {
    std::vector<std::string> args;
    std::string says;
  };
  const Refusal refusals[] = {
      {{"lock", "Demo", "/Shared/Documents"}, "takes only files"},
      {{"lock", "Demo", "/Shared/Documents/Missing.txt"}, "Missing.txt"},
      {{"refresh", "Demo", "/Shared/Documents/Report.docx"}, "takes only folders"},
      {{"action", "Demo", "ViewOnline", "/Shared"}, "not available on Linux"},
      {{"action", "Demo", "Nonsense", "/Shared"}, "Invalid action"},
  };
  for (const auto& r : refusals) {
    const auto result = tarnix(r.args);
    EXPECT_EQ(result.exitStatus, 1) << r.args[0];
    EXPECT_NE(result.errors.find(r.says), std::string::npos) << result.errors;
  }
}

// A file held open longer than its lock lasts keeps it: the lock is renewed before it lapses.
// The cloud grants locks for 20 seconds only, so that the renewal comes within the test.
TEST_F(LockingMountTest, ALongHoldRenewsTheLockBeforeItLapses) {
  cloud({"-X", "POST", "-H", asAdmin(), "-H", "Content-Type: application/json", "--data",
         R"({"max_lock_seconds": 20})", emulator_->baseURL() + "/__admin/clock"});
  const std::string path = "Shared/Documents/Notes.txt";
  const int fd = ::open((mountPoint() / path).c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_TRUE(eventually([&] { return lockedByAlice(path); })) << cloudLock(path).dump();
  const auto firstExpiry = cloudLock(path).value("lock_expiry_date", std::int64_t{0});
  EXPECT_TRUE(eventually(
      [&] {
        const auto lock = cloudLock(path);
        return lock.is_object() && lock.value("lock_expiry_date", std::int64_t{0}) > firstExpiry;
      },
      30s))
      << cloudLock(path).dump();
  EXPECT_TRUE(lockedByAlice(path));
  ::close(fd);
  EXPECT_TRUE(eventually([&] { return unlocked(path); })) << cloudLock(path).dump();
}

// Locks taken for a mount that was killed are released by the next mount of the drive.
TEST_F(LockingMountTest, LocksLeftByAKilledMountAreReleasedByTheNext) {
  const std::string path = "Shared/Documents/Notes.txt";
  const int fd = ::open((mountPoint() / path).c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_TRUE(eventually([&] { return lockedByAlice(path); })) << cloudLock(path).dump();
  killTheMount();
  ::close(fd);
  EXPECT_TRUE(lockedByAlice(path));
  auto mounted = tarnix({"mount", "Demo", mountPoint().string()});
  ASSERT_EQ(mounted.exitStatus, 0) << mounted.errors;
  EXPECT_TRUE(eventually([&] { return unlocked(path); })) << cloudLock(path).dump();
}

}  // namespace
}  // namespace tarnix::host
