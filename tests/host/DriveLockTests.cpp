// The drive lock: one holder at a time, named in the lock file; a mount is refused at once, a
// command waited for; the lock goes with its holder, by release or by the holder's death.
#include "host/DriveLock.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "support/ChildRole.hpp"
#include "support/ProgramRun.hpp"
#include "support/ScopedUmask.hpp"
#include "support/TempDir.hpp"

namespace tarnix::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Tries the lock of the state folder given; prints who holds it, or takes it, prints "taken"
// and dies by SIGKILL with the lock held.
const bool kLockerRole = testing::registerChildRole("drive-locker", [](const std::string& state) {
  auto lock = DriveLock::acquire(state, "/mnt/child");
  if (!lock) {
    const auto& holder = lock.error().holder;
    std::printf("refused %d %s\n", holder ? holder->pid : 0,
                holder ? holder->mountPoint.c_str() : lock.error().message.c_str());
    return 0;
  }
  std::printf("taken\n");
  std::fflush(stdout);
  ::raise(SIGKILL);
  return 1;
});

class DriveLockTest : public ::testing::Test {
 protected:
  fs::path state() const { return dir_.path() / "Drive" / "Host"; }
  testing::TempDir dir_{"tarnix-drive-lock"};
};

TEST_F(DriveLockTest, TheHolderIsRecordedInAPrivateFileAndEmptiedOnRelease) {
  testing::ScopedUmask permissive(0);
  auto lock = DriveLock::acquire(state(), "/media/Drive one");
  ASSERT_TRUE(lock) << lock.error().message;
  const fs::path file = DriveLock::lockPath(state());
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(state().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(testing::readFile(file),
            "pid " + std::to_string(::getpid()) + "\nmount /media/Drive one\n");

  const auto holder = DriveLock::holder(state());
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->pid, ::getpid());
  EXPECT_EQ(holder->mountPoint, "/media/Drive one");

  lock->reset();
  EXPECT_EQ(testing::readFile(file), "");
  EXPECT_FALSE(DriveLock::holder(state()));
  auto again = DriveLock::acquire(state());
  ASSERT_TRUE(again) << again.error().message;
  EXPECT_EQ(testing::readFile(file), "pid " + std::to_string(::getpid()) + "\nmount \n");
}

TEST_F(DriveLockTest, AMountIsRefusedAtOnceAndACommandWaitedFor) {
  {
    auto mount = DriveLock::acquire(state(), "/mnt/drive");
    ASSERT_TRUE(mount);
    // Long enough that waiting for a mount would show.
    auto refused = DriveLock::acquire(state(), {}, 60s);
    ASSERT_FALSE(refused);
    ASSERT_TRUE(refused.error().holder);
    EXPECT_EQ(refused.error().holder->pid, ::getpid());
    EXPECT_EQ(refused.error().holder->mountPoint, "/mnt/drive");
    EXPECT_TRUE(refused.error().holder->isMount());
  }
  auto command = DriveLock::acquire(state());
  ASSERT_TRUE(command);
  auto busy = DriveLock::acquire(state(), "/mnt/drive");
  ASSERT_FALSE(busy);
  ASSERT_TRUE(busy.error().holder);
  EXPECT_FALSE(busy.error().holder->isMount());

  // The command ends while the mount waits for it.
  std::thread ending([&] {
    std::this_thread::sleep_for(100ms);
    command->reset();
  });
  auto waited = DriveLock::acquire(state(), "/mnt/drive", 60s);
  ending.join();
  EXPECT_TRUE(waited) << (waited ? "" : waited.error().message);
}

TEST_F(DriveLockTest, AnotherProcessSeesTheHolderAndTheLockDiesWithItsHolder) {
  {
    auto mine = DriveLock::acquire(state(), "/mnt/parent");
    ASSERT_TRUE(mine);
    auto child = testing::runChildRole("drive-locker", state().string());
    ASSERT_FALSE(child.timedOut);
    EXPECT_EQ(child.output, "refused " + std::to_string(::getpid()) + " /mnt/parent\n");
  }
  // Killed while holding it: its lines stay, the lock does not.
  auto killed = testing::runChildRole("drive-locker", state().string());
  ASSERT_FALSE(killed.timedOut);
  EXPECT_EQ(killed.output, "taken\n");
  EXPECT_NE(testing::readFile(DriveLock::lockPath(state())).find("mount /mnt/child\n"),
            std::string::npos);
  EXPECT_FALSE(DriveLock::holder(state())) << "a holder that is gone";
  auto after = DriveLock::acquire(state(), "/mnt/parent");
  EXPECT_TRUE(after) << (after ? "" : after.error().message);
}

TEST_F(DriveLockTest, AStateFolderThatCannotBeMadeIsNamed) {
  fs::create_directories(state().parent_path());
  testing::writeFile(state(), "not a folder");
  auto lock = DriveLock::acquire(state(), "/mnt/x");
  ASSERT_FALSE(lock);
  EXPECT_FALSE(lock.error().holder);
  EXPECT_NE(lock.error().message.find(state().string()), std::string::npos) << lock.error().message;
}

TEST(DriveLockContents, ParsesWhatAHolderWrites) {
  struct Case {
    std::string contents;
    std::optional<pid_t> pid;
    std::string mountPoint;
  };
  const Case cases[] = {
      {"pid 42\nmount /mnt/a b\n", 42, "/mnt/a b"},
      {"pid 7\nmount \n", 7, ""},
      {"pid 7\nmount /odd\nname\n", 7, "/odd\nname"},
      {"", std::nullopt, ""},
      {"pid 42\nmount /mnt/a", std::nullopt, ""},
      {"pid x\nmount /m\n", std::nullopt, ""},
      {"pid 0\nmount /m\n", std::nullopt, ""},
      {"pid -3\nmount /m\n", std::nullopt, ""},
      {"pid 42\n", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contents);
    const auto holder = DriveLock::parse(c.contents);
    ASSERT_EQ(holder.has_value(), c.pid.has_value());
    if (!holder) continue;
    EXPECT_EQ(holder->pid, *c.pid);
    EXPECT_EQ(holder->mountPoint, c.mountPoint);
  }
}

}  // namespace
}  // namespace tarnix::host
