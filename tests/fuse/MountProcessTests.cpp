// `tarnix mount` as a user runs it, with the real provider: in the background it answers as
// soon as the serving process says whether the drive is mounted, and after a failure nothing
// stays mounted or running; in the foreground SIGINT and SIGTERM unmount and invalidate the
// provider; a settings change that asks the provider to restart does not end the mount.
// The drive's cloud is a loopback port that accepts connections and never answers. Serving
// processes are fresh programmes (posix_spawn); every wait is bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "common/ContainerStores.hpp"
#include "host/FuseMount.hpp"
#include "support/ProgramRun.hpp"
#include "support/TempDir.hpp"

extern char** environ;

namespace tarnix::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool becomesTrue(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

// Processes whose command line names `mountPoint` (the serving processes of that mount).
std::vector<pid_t> processesServing(const fs::path& mountPoint) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(in)), {});
    if (cmdline.find(std::string(1, '\0') + mountPoint.string() + '\0') != std::string::npos)
      found.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return found;
}

class MountProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(mountPoint());
    if (auto reason = fuseUnusable()) GTEST_SKIP() << "FUSE cannot be used here: " << *reason;
    // A cloud that takes connections and never answers.
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener_, 16), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string host = "localhost:" + std::to_string(ntohs(address.sin_port));

    // The user's identifier is given: asking the silent cloud for it would only wait.
    auto account = tarnix({"account", "add", "--domain", host, "--user", "alice", "--user-id", "1",
                           "--access-token-file", "-"});
    ASSERT_EQ(account.exitStatus, 0) << account.errors;
    const std::string id = account.output.substr(0, account.output.find('\n'));
    auto drive = tarnix({"drive", "add", "--account", id, "--label", "Demo"});
    ASSERT_EQ(drive.exitStatus, 0) << drive.errors;
    driveIdentifier_ = drive.output.substr(0, drive.output.find('\n'));
  }

  void TearDown() override {
    if (server_ > 0) {
      ::kill(server_, SIGKILL);
      ::waitpid(server_, nullptr, 0);
    }
    for (pid_t pid : processesServing(mountPoint())) ::kill(pid, SIGKILL);
    if (isFuseMounted(mountPoint())) (void)unmountFuse(mountPoint());
    EXPECT_FALSE(isFuseMounted(mountPoint()));
    if (listener_ >= 0) ::close(listener_);
  }

  // Why a FUSE file system cannot be mounted here, if it cannot.
  std::optional<std::string> fuseUnusable() {
    const fs::path probe = dir_.path() / "probe";
    fs::create_directories(probe);
    auto fd = mountFuse(probe, "tarnix-probe");
    if (!fd) return fd.error();
    ::close(*fd);
    (void)unmountFuse(probe);
    return std::nullopt;
  }

  fs::path mountPoint() const { return dir_.path() / "mnt"; }
  fs::path home() const { return dir_.path() / "home"; }
  fs::path logFile() const { return home() / "Tarnix" / "Logs" / "FileProvider.log"; }

  testing::ProgramResult tarnix(std::vector<std::string> args) {
    args.insert(args.begin(), testing::tarnixProgram());
    return testing::runProgram(args, {{"TARNIX_HOME", home().string()}}, "token\n", 20s);
  }

  // Starts `tarnix mount Demo MOUNTPOINT -f` and waits until the drive is mounted.
  ::testing::AssertionResult startForeground() {
    std::vector<std::string> args = {testing::tarnixProgram(), "mount", "Demo",
                                     mountPoint().string(), "-f"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"TARNIX_HOME=" + home().string()};
    for (char** e = environ; *e; ++e)
      if (!std::string(*e).starts_with("TARNIX_HOME=")) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string output = (dir_.path() / "serving.out").string();
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int rc = ::posix_spawn(&server_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return ::testing::AssertionFailure() << "cannot start tarnix: " << rc;
    if (!becomesTrue([&] { return isFuseMounted(mountPoint()); }))
      return ::testing::AssertionFailure() << "not mounted: " << testing::readFile(output);
    return ::testing::AssertionSuccess();
  }

  // Waits (bounded) for the foreground process; its exit status, or -1.
  int waitForServer(std::chrono::milliseconds limit = 15s) {
    int status = 0;
    const bool ended =
        becomesTrue([&] { return ::waitpid(server_, &status, WNOHANG) == server_; }, limit);
    if (!ended) return -1;
    server_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  testing::TempDir dir_{"tarnix-mount-process"};
  int listener_ = -1;
  pid_t server_ = -1;
  std::string driveIdentifier_;
};

TEST_F(MountProcessTest, BackgroundMountAnswersAtOnceAndUnmountEndsTheServingProcess) {
  // Output captured through pipes: the command's end is where the serving process stops
  // holding them, so a serving process that kept the caller's terminal would time out here.
  auto mounted = tarnix({"mount", "Demo", mountPoint().string()});
  ASSERT_FALSE(mounted.timedOut) << "tarnix mount did not return";
  ASSERT_EQ(mounted.exitStatus, 0) << mounted.errors;
  EXPECT_NE(mounted.output.find("Mounted Demo at " + mountPoint().string()), std::string::npos)
      << mounted.output;
  EXPECT_TRUE(isFuseMounted(mountPoint()));
  EXPECT_EQ(processesServing(mountPoint()).size(), 1u);
  struct stat st {};
  EXPECT_EQ(::stat(mountPoint().c_str(), &st), 0) << std::strerror(errno);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  auto unmounted = tarnix({"unmount", mountPoint().string()});
  EXPECT_EQ(unmounted.exitStatus, 0) << unmounted.errors;
  EXPECT_FALSE(isFuseMounted(mountPoint()));
  EXPECT_TRUE(becomesTrue([&] { return processesServing(mountPoint()).empty(); }))
      << "the serving process outlived its mount";
}

TEST_F(MountProcessTest, FailedStartIsReportedAtOnceAndLeavesNothingBehind) {
  // The drive's host state folder cannot be made: a file sits where it belongs.
  const fs::path state = home() / "Tarnix" / "Drives" / driveIdentifier_ / "Host";
  fs::create_directories(state.parent_path());
  testing::writeFile(state, "not a folder");

  auto mounted = tarnix({"mount", "Demo", mountPoint().string()});
  ASSERT_FALSE(mounted.timedOut) << "tarnix mount did not return";
  EXPECT_EQ(mounted.exitStatus, 1);
  EXPECT_NE(mounted.errors.find(state.string()), std::string::npos) << mounted.errors;
  EXPECT_EQ(mounted.output.find("Mounted"), std::string::npos) << mounted.output;
  EXPECT_FALSE(isFuseMounted(mountPoint()));
  EXPECT_TRUE(becomesTrue([&] { return processesServing(mountPoint()).empty(); }));
}

TEST_F(MountProcessTest, SignalsUnmountCleanlyAndInvalidateTheProvider) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    fs::remove(logFile());
    ASSERT_TRUE(startForeground());
    ASSERT_EQ(::kill(server_, signal), 0);
    EXPECT_EQ(waitForServer(), 0) << testing::readFile(dir_.path() / "serving.out");
    EXPECT_FALSE(isFuseMounted(mountPoint()));
    const std::string log = testing::readFile(logFile());
    EXPECT_NE(log.find("File provider invalidated."), std::string::npos) << log;
    EXPECT_NE(testing::readFile(dir_.path() / "serving.out").find("Unmounted"), std::string::npos);
  }
}

TEST_F(MountProcessTest, SettingsChangeAskingForARestartKeepsTheMount) {
  ASSERT_TRUE(startForeground());
  {
    auto stores = common::ContainerStores::open(home(), base::Logger::null());
    ASSERT_TRUE(stores) << stores.error().message;
    stores->group->preferences()->setLogLevel(base::LoggerLevel::error);
  }
  ASSERT_TRUE(becomesTrue([&] {
    return testing::readFile(logFile()).find("Re-launching due to log-level update") !=
           std::string::npos;
  })) << testing::readFile(logFile());
  // Whatever the provider asked for, the process serves on.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(::waitpid(server_, nullptr, WNOHANG), 0) << "the mount process ended";
  struct stat st {};
  EXPECT_EQ(::stat(mountPoint().c_str(), &st), 0) << std::strerror(errno);
  EXPECT_TRUE(isFuseMounted(mountPoint()));

  ::kill(server_, SIGTERM);
  EXPECT_EQ(waitForServer(), 0);
  EXPECT_FALSE(isFuseMounted(mountPoint()));
}

TEST_F(MountProcessTest, ADriveAMountServesIsNotMountedAgainUntilItsProcessEnds) {
  auto first = tarnix({"mount", "Demo", mountPoint().string()});
  ASSERT_EQ(first.exitStatus, 0) << first.errors;
  const auto serving = processesServing(mountPoint());
  ASSERT_EQ(serving.size(), 1u);
  const std::string pid = std::to_string(serving.front());
  const fs::path lockFile = home() / "Tarnix" / "Drives" / driveIdentifier_ / "Host" / "Drive.lock";
  EXPECT_EQ(testing::readFile(lockFile), "pid " + pid + "\nmount " + mountPoint().string() + "\n");
  struct stat st {};
  ASSERT_EQ(::stat(lockFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const auto status = tarnix({"status", "Demo"});
  EXPECT_NE(status.output.find("Mounted at: " + mountPoint().string() + " (process " + pid + ")\n"),
            std::string::npos)
      << status.output;

  const fs::path other = dir_.path() / "other";
  fs::create_directories(other);
  const std::string refusal = "tarnix mount: the drive Demo is mounted at " +
                              mountPoint().string() + " (process " + pid + ")\n";
  const std::vector<std::string> attempts[] = {
      {"mount", "Demo", other.string()},
      {"mount", "Demo", mountPoint().string()},
      {"mount", "Demo", other.string(), "-f"},
  };
  for (const auto& attempt : attempts) {
    SCOPED_TRACE(attempt[2] + (attempt.size() > 3 ? " -f" : ""));
    auto again = tarnix(attempt);
    ASSERT_FALSE(again.timedOut);
    EXPECT_EQ(again.exitStatus, 1);
    EXPECT_EQ(again.errors, refusal);
    EXPECT_EQ(again.output, "");
    // The first mount serves on, untouched.
    EXPECT_TRUE(isFuseMounted(mountPoint()));
    EXPECT_FALSE(isFuseMounted(other));
    EXPECT_EQ(::stat(mountPoint().c_str(), &st), 0) << std::strerror(errno);
    EXPECT_EQ(processesServing(mountPoint()), serving);
  }

  // However the serving process ends, the drive is free with it.
  ASSERT_EQ(::kill(serving.front(), SIGKILL), 0);
  ASSERT_TRUE(becomesTrue([&] { return processesServing(mountPoint()).empty(); }));
  (void)unmountFuse(mountPoint());
  auto remounted = tarnix({"mount", "Demo", mountPoint().string()});
  EXPECT_EQ(remounted.exitStatus, 0) << remounted.errors << remounted.output;
  EXPECT_TRUE(isFuseMounted(mountPoint()));
}

}  // namespace
}  // namespace tarnix::host
