#pragma once
// A drive of the local cloud emulator ("demo" seed) mounted with `tarnix mount` by the real
// command, for tests that meet the drive as its user does. Skips where FUSE cannot be used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <expected>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "base/JSONValue.hpp"
#include "host/FuseMount.hpp"
#include "host/ReplicaStore.hpp"
#include "support/EmulatorProcess.hpp"
#include "support/ProgramRun.hpp"
#include "support/TempDir.hpp"

namespace tarnix::host::mounttest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::EmulatorProcess;

inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 15s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(100ms);
  }
  return condition();
}

// The files of the emulator's "demo" seed as alice sees them, with their bytes.
inline std::map<std::string, std::string> seededFiles() {
  std::string pixels(1024, '\0');
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<char>(i * 7);
  return {
      {"Private/Drafts/Ideas.txt", "Ideas for next quarter\n"},
      {"Shared/Documents/Report.docx", std::string(4096, 'r')},
      {"Shared/Documents/Notes.txt", "Meeting notes\n- ship the emulator\n"},
      {"Shared/Documents/Budget.xlsx", std::string(8192, 'b')},
      {"Shared/Documents/Locked.docx", "Being edited by Bob\n"},
      {"Shared/Images/Beach.jpg", pixels},
      {"Shared/Images/Mountains.png", pixels + pixels},
      {"Shared/Read Only/Handbook.pdf", "%PDF-1.4 handbook\n"},
  };
}

inline std::set<std::string> seededTree() {
  std::set<std::string> tree = {"Private/",          "Private/Drafts/", "Shared/",
                                "Shared/Documents/", "Shared/Images/",  "Shared/Read Only/"};
  for (const auto& [path, bytes] : seededFiles()) tree.insert(path);
  return tree;
}

// The last lines of the logs below a tarnix home, for a failed test's report (the logs go with
// the test's folder).
inline void printLogTails(const fs::path& home) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(home, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file() || it->path().extension() != ".log") continue;
    const std::string text = testing::readFile(it->path());
    std::size_t start = text.size();
    for (int lines = 0; start > 0 && lines <= 200;)
      if (text[--start] == '\n') ++lines;
    std::cerr << "---- " << it->path().string() << " (last lines)\n" << text.substr(start) << "\n";
  }
}

// Adds alice's account on `emulator` and her drive "Demo", and mounts it at `mountPoint`, each
// with `tarnix` (which runs the command with the test's settings).
inline void addDemoDriveAndMount(
    const EmulatorProcess& emulator, const fs::path& mountPoint,
    const std::function<testing::ProgramResult(std::vector<std::string>, const std::string&)>&
        tarnix) {
  auto account = tarnix({"account", "add", "--domain", emulator.host(), "--user", "alice",
                         "--access-token-file", "-"},
                        std::string(EmulatorProcess::kAliceToken) + "\n");
  ASSERT_EQ(account.exitStatus, 0) << account.errors;
  const std::string id = account.output.substr(0, account.output.find('\n'));
  auto drive = tarnix({"drive", "add", "--account", id, "--label", "Demo"}, {});
  ASSERT_EQ(drive.exitStatus, 0) << drive.errors;
  auto mounted = tarnix({"mount", "Demo", mountPoint.string()}, {});
  ASSERT_EQ(mounted.exitStatus, 0) << mounted.errors;
}

class EmulatorMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(mountPoint());
    const fs::path probe = dir_.path() / "probe";
    fs::create_directories(probe);
    auto fd = mountFuse(probe, "tarnix-probe");
    if (!fd) GTEST_SKIP() << "FUSE cannot be used here: " << fd.error();
    ::close(*fd);
    (void)unmountFuse(probe);

    auto started = EmulatorProcess::start({.seed = "demo", .faultsFile = ""});
    ASSERT_TRUE(started) << started.error();
    emulator_ = std::move(*started);
    addDemoDriveAndMount(*emulator_, mountPoint(),
                         [this](auto args, const auto& input) { return tarnix(args, input); });
  }

  void TearDown() override {
    if (HasFailure()) printLogTails(dir_.path() / "home");
    if (isFuseMounted(mountPoint())) {
      auto unmounted = tarnix({"unmount", mountPoint().string()});
      EXPECT_EQ(unmounted.exitStatus, 0) << unmounted.errors;
    }
    EXPECT_FALSE(isFuseMounted(mountPoint()));
  }

  fs::path mountPoint() const { return dir_.path() / "mnt"; }

  testing::ProgramResult tarnix(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), testing::tarnixProgram());
    return testing::runProgram(args,
                               {{"TARNIX_HOME", (dir_.path() / "home").string()},
                                {"TARNIX_CA_FILE", emulator_->caFile().string()}},
                               input, 20s);
  }

  // A request to the emulator with curl; the answer's body.
  std::string cloud(std::vector<std::string> args) {
    std::vector<std::string> command = {
        "curl", "-sS", "--fail", "--max-time", "20", "--cacert", emulator_->caFile().string()};
    command.insert(command.end(), args.begin(), args.end());
    command[0] = "/usr/bin/curl";
    auto result = testing::runProgram(command, {}, {}, 30s);
    EXPECT_EQ(result.exitStatus, 0) << result.errors;
    return result.output;
  }
  static std::string encoded(const std::string& path) {
    std::string out;
    for (const unsigned char c : path) {
      if (std::isalnum(c) ||
          std::string_view("/-._~").find(static_cast<char>(c)) != std::string_view::npos) {
        out.push_back(static_cast<char>(c));
      } else {
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%%%02X", c);
        out += hex;
      }
    }
    return out;
  }
  // The contents the cloud holds at `cloudPath` for alice, none when it has no such file.
  std::optional<std::string> onCloud(const std::string& cloudPath) {
    auto result =
        testing::runProgram({"/usr/bin/curl", "-sS", "--fail", "--max-time", "20", "--cacert",
                             emulator_->caFile().string(), "-H", asAlice(),
                             emulator_->baseURL() + "/api/v1/fs-content" + encoded(cloudPath)},
                            {}, {}, 30s);
    if (result.exitStatus != 0) return std::nullopt;
    return result.output;
  }
  std::string asAlice() const {
    return "Authorization: " + EmulatorProcess::authorization(EmulatorProcess::kAliceToken);
  }
  std::string asAdmin() const { return "X-Admin-Token: " + emulator_->adminToken(); }
  // Makes the emulator fail or delay requests (its fault rules).
  void addFault(const base::JSONValue& rule) {
    cloud({"-H", asAdmin(), "-H", "Content-Type: application/json", "-X", "POST", "--data",
           rule.dump(), emulator_->baseURL() + "/__admin/faults"});
  }
  void clearFaults() {
    cloud({"-H", asAdmin(), "-X", "DELETE", emulator_->baseURL() + "/__admin/faults"});
  }

  // How many content downloads the emulator answered since the last forget().
  int downloads() {
    auto requests =
        base::parseJSON(cloud({"-H", asAdmin(), emulator_->baseURL() + "/__admin/requests"}));
    EXPECT_TRUE(requests) << "unreadable request log";
    int count = 0;
    if (!requests) return -1;
    for (const auto& r : *requests) {
      const auto path = r.value("path", std::string());
      if (r.value("method", std::string()) == "GET" && path.starts_with("/api/v1/fs-content"))
        ++count;
    }
    return count;
  }
  void forgetRequests() {
    cloud({"-X", "DELETE", "-H", asAdmin(), emulator_->baseURL() + "/__admin/requests"});
  }

  // SIGKILLs the processes serving the mount and detaches what they leave.
  void killTheMount() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string cmdline = testing::readFile(entry.path() / "cmdline");
      if (cmdline.find(std::string(1, '\0') + mountPoint().string() + '\0') != std::string::npos)
        ::kill(std::stoi(name), SIGKILL);
    }
    ASSERT_TRUE(eventually([&] {
      (void)unmountFuse(mountPoint());
      return !isFuseMounted(mountPoint());
    }));
  }

  // Every path below the mount, folders with a trailing "/".
  std::set<std::string> tree() {
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(mountPoint(), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      auto relative = fs::relative(it->path(), mountPoint()).string();
      out.insert(it->is_directory() ? relative + "/" : relative);
    }
    EXPECT_FALSE(ec) << ec.message();
    return out;
  }

  testing::TempDir dir_{"tarnix-emulator-mount"};
  std::unique_ptr<EmulatorProcess> emulator_;
};

}  // namespace tarnix::host::mounttest
