// The mount as most people run it: as a user without privileges (no FUSE passthrough, the
// setuid fusermount3 mounting). The test, as root, makes such a user, lets it use /dev/fuse (as
// desktop systems do) and runs every tarnix command and file access as that user.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuse/EmulatorMountFixture.hpp"

namespace tarnix::host {
namespace {

using namespace mounttest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::EmulatorProcess;

constexpr const char* kUser = "tarnix-test-user";

class UnprivilegedMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "making a user to mount as needs root";
    struct stat fusermount {};
    if (::stat("/usr/bin/fusermount3", &fusermount) != 0 || !(fusermount.st_mode & S_ISUID))
      GTEST_SKIP() << "no setuid fusermount3";
    if (!::getpwnam(kUser)) {
      auto made = testing::runProgram({"/usr/sbin/useradd", "--system", "--no-create-home",
                                       "--shell", "/usr/sbin/nologin", kUser},
                                      {}, {}, 30s);
      ASSERT_EQ(made.exitStatus, 0) << made.errors;
    }
    const auto* user = ::getpwnam(kUser);
    ASSERT_NE(user, nullptr);
    struct stat device {};
    ASSERT_EQ(::stat("/dev/fuse", &device), 0);
    deviceMode_ = device.st_mode & 07777;
    ASSERT_EQ(::chmod("/dev/fuse", 0666), 0);

    auto started = EmulatorProcess::start({.seed = "demo", .faultsFile = ""});
    ASSERT_TRUE(started) << started.error();
    emulator_ = std::move(*started);
    // The user's own folder: its tarnix home, the mount point and the cloud's certificate.
    fs::copy_file(emulator_->caFile(), dir_.path() / "ca.pem");
    fs::create_directories(mountPoint());
    fs::create_directories(dir_.path() / "home");
    for (const auto& path :
         {dir_.path(), dir_.path() / "ca.pem", mountPoint(), dir_.path() / "home"})
      ASSERT_EQ(::chown(path.c_str(), user->pw_uid, user->pw_gid), 0) << path;

    addDemoDriveAndMount(*emulator_, mountPoint(),
                         [this](auto args, const auto& input) { return tarnix(args, input); });
  }

  void TearDown() override {
    if (HasFailure()) mounttest::printLogTails(dir_.path() / "home");
    if (emulator_ && isFuseMounted(mountPoint())) {
      auto unmounted = tarnix({"unmount", mountPoint().string()});
      EXPECT_EQ(unmounted.exitStatus, 0) << unmounted.errors;
    }
    if (deviceMode_) (void)::chmod("/dev/fuse", *deviceMode_);
  }

  fs::path mountPoint() const { return dir_.path() / "mnt"; }

  // `command` run as the user.
  testing::ProgramResult asUser(std::vector<std::string> command, const std::string& input = {}) {
    command.insert(command.begin(), {"/usr/sbin/runuser", "-u", kUser, "--", "/usr/bin/env",
                                     "TARNIX_HOME=" + (dir_.path() / "home").string(),
                                     "TARNIX_CA_FILE=" + (dir_.path() / "ca.pem").string()});
    return testing::runProgram(command, {}, input, 30s);
  }
  testing::ProgramResult tarnix(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), testing::tarnixProgram());
    return asUser(std::move(args), input);
  }
  std::optional<std::string> onCloud(const std::string& cloudPath) {
    auto result = testing::runProgram(
        {"/usr/bin/curl", "-sS", "--fail", "--max-time", "20", "--cacert",
         emulator_->caFile().string(), "-H",
         "Authorization: " + EmulatorProcess::authorization(EmulatorProcess::kAliceToken),
         emulator_->baseURL() + "/api/v1/fs-content" + cloudPath},
        {}, {}, 30s);
    if (result.exitStatus != 0) return std::nullopt;
    return result.output;
  }

  testing::TempDir dir_{"tarnix-unprivileged"};
  std::unique_ptr<EmulatorProcess> emulator_;
  std::optional<mode_t> deviceMode_;
};

TEST_F(UnprivilegedMountTest, AUserWithoutPrivilegesReadsAndWritesTheDrive) {
  const std::string notes = mountPoint() / "Shared/Documents/Notes.txt";
  auto read = asUser({"/bin/cat", notes});
  EXPECT_EQ(read.exitStatus, 0) << read.errors;
  EXPECT_EQ(read.output, seededFiles()["Shared/Documents/Notes.txt"]);

  const std::string made = mountPoint() / "Shared/Documents/From a user.txt";
  auto written =
      asUser({"/bin/sh", "-c", "cat > \"$1\"", "sh", made}, "written without privileges\n");
  EXPECT_EQ(written.exitStatus, 0) << written.errors;
  auto appended = asUser({"/bin/sh", "-c", "echo 'and more' >> \"$1\"", "sh", notes});
  EXPECT_EQ(appended.exitStatus, 0) << appended.errors;
  EXPECT_TRUE(eventually(
      [&] {
        return onCloud("/Shared/Documents/From%20a%20user.txt") == "written without privileges\n";
      },
      30s));
  EXPECT_TRUE(eventually(
      [&] {
        return onCloud("/Shared/Documents/Notes.txt") ==
               seededFiles()["Shared/Documents/Notes.txt"] + "and more\n";
      },
      30s));
  // `tarnix put` of a file of the user's own, through the running mount.
  const fs::path local = dir_.path() / "report.txt";
  auto saved = asUser({"/bin/sh", "-c", "cat > \"$1\"", "sh", local}, "put by a user\n");
  ASSERT_EQ(saved.exitStatus, 0) << saved.errors;
  auto put = tarnix({"put", "Demo", local, "/Shared/Documents"});
  EXPECT_EQ(put.exitStatus, 0) << put.errors;
  EXPECT_EQ(onCloud("/Shared/Documents/report.txt"), "put by a user\n");

  auto status = tarnix({"status", "Demo"});
  EXPECT_EQ(status.exitStatus, 0) << status.errors;
  EXPECT_TRUE(eventually(
      [&] {
        return tarnix({"status", "Demo"}).output.find("Uploads not done: 0") != std::string::npos;
      },
      10s))
      << tarnix({"status", "Demo"}).output;
}

}  // namespace
}  // namespace tarnix::host
