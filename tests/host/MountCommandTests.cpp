// `tarnix mount` and `tarnix status` as a user runs them: drives named by label, a clear message
// while no provider is available, and the state a mount left behind.
#include <gtest/gtest.h>

#include "host/DomainManager.hpp"
#include "host/MountedDomain.hpp"
#include "host/ReplicaStore.hpp"
#include "support/ProgramRun.hpp"
#include "support/TempDir.hpp"

namespace tarnix::host {
namespace {

using testing::runProgram;
using testing::tarnixProgram;

class MountCommandTest : public ::testing::Test {
 protected:
  testing::ProgramResult tarnix(std::vector<std::string> args) {
    args.insert(args.begin(), tarnixProgram());
    return runProgram(args, {{"TARNIX_HOME", home_.path().string()}}, "token\n");
  }
  // Adds an account and a drive labelled "Demo"; returns the drive identifier.
  std::string addDrive() {
    auto account = tarnix({"account", "add", "--domain", "localhost:9", "--user", "alice",
                           "--access-token-file", "-"});
    EXPECT_EQ(account.exitStatus, 0) << account.errors;
    std::string id = account.output.substr(0, account.output.find('\n'));
    auto drive = tarnix({"drive", "add", "--account", id, "--label", "Demo"});
    EXPECT_EQ(drive.exitStatus, 0) << drive.errors;
    return drive.output.substr(0, drive.output.find('\n'));
  }
  testing::TempDir home_{"tarnix-mount-cmd"};
};

TEST_F(MountCommandTest, MountNamesWhatIsMissing) {
  auto unknown = tarnix({"mount", "Nope", home_.path().string()});
  EXPECT_EQ(unknown.exitStatus, 1);
  EXPECT_NE(unknown.errors.find("Nope"), std::string::npos) << unknown.errors;

  addDrive();
  auto badSize = tarnix({"mount", "Demo", home_.path().string(), "--cache-size", "lots"});
  EXPECT_EQ(badSize.exitStatus, 1);
  EXPECT_NE(badSize.errors.find("invalid cache size"), std::string::npos) << badSize.errors;
}

TEST_F(MountCommandTest, StatusShowsDomainStateCacheUseAndLastErrors) {
  const std::string drive = addDrive();
  auto never = tarnix({"status", "Demo"});
  EXPECT_EQ(never.exitStatus, 0) << never.errors;
  EXPECT_NE(never.output.find("State: never mounted"), std::string::npos) << never.output;

  // What a mount leaves: the extension disconnected the domain, one file is present.
  const auto state = home_.path() / "Tarnix" / "Drives" / drive / "Host";
  {
    std::filesystem::create_directories(state);
    auto opened = ReplicaStore::open(MountedDomain::storePath(state));
    ASSERT_TRUE(opened) << opened.error().description();
    std::shared_ptr<ReplicaStore> store = std::move(*opened);
    DomainManager manager({platform::fileprovider::DomainIdentifier(drive), "Demo"}, store,
                          state / "tmp", home_.path() / "mnt");
    manager.disconnect("Signed out on the server", {}, nullptr);
    manager.recordError("Listing /Shared failed");
    ASSERT_TRUE(store->setContentPresent(kRootInode, "c1", state / "Contents/1", 1234, 1));
    ASSERT_TRUE(
        store->setState(ReplicaStore::kLastChangeErrorKey, "the extension did not answer in time"));
  }
  auto status = tarnix({"status", drive});
  EXPECT_EQ(status.exitStatus, 0) << status.errors;
  for (const char* line :
       {"Drive: Demo (", "State: disconnected\n", "Disconnected: Signed out on the server\n",
        "Cache: 1234 bytes in 1 files\n", "Last error: Listing /Shared failed\n",
        "Last change error: the extension did not answer in time\n"})
    EXPECT_NE(status.output.find(line), std::string::npos) << line << "\n" << status.output;
}

}  // namespace
}  // namespace tarnix::host
