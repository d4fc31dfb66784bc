// `tarnix link` and `tarnix open-web` beside a running mount of the drive: they read the drive
// without taking it from the mount, find items the mount brought to the cloud, and leave the
// mount serving. Skips where FUSE cannot be used.
#include "fuse/EmulatorMountFixture.hpp"

namespace tarnix::host {
namespace {

using namespace mounttest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST_F(EmulatorMountTest, LinkAndOpenWebWorkBesideTheMount) {
  // A file written through the mount, once the cloud has it.
  testing::writeFile(mountPoint() / "Shared/Documents/Fresh.txt", "written through the mount\n");
  ASSERT_TRUE(eventually([&] { return onCloud("/Shared/Documents/Fresh.txt").has_value(); }));
  // ... and once the mount has the cloud's answer (the drive's store knows the file).
  ASSERT_TRUE(eventually([&] {
    return ::getxattr((mountPoint() / "Shared/Documents/Fresh.txt").c_str(),
                      "user.tarnix.uploadPending", nullptr, 0) < 0;
  }));
  const auto fresh = base::parseJSON(
      cloud({"-H", asAlice(), emulator_->baseURL() + "/api/v1/fs/Shared/Documents/Fresh.txt"}));
  ASSERT_TRUE(fresh && fresh->contains("group_id"));
  const std::string freshID = (*fresh)["group_id"];

  const std::string host = "https://" + emulator_->host() + "/";
  struct Case {
    std::vector<std::string> arguments;
    std::string prefix;
  };
  const Case cases[] = {
      {{"link", "Demo", "/Shared/Documents/Fresh.txt"}, host + "l/" + freshID + "/"},
      {{"open-web", "Demo", "/Shared/Documents/Fresh.txt"}, host + "navigate/preview?"},
      {{"link", "Demo", "/Shared/Images"}, host + "l/"},
      {{"open-web", "Demo", "/Shared/Images"}, host + "navigate/folder?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + c.arguments[2]);
    const auto run = tarnix(c.arguments);
    EXPECT_EQ(run.exitStatus, 0) << run.errors;
    EXPECT_TRUE(run.output.starts_with(c.prefix)) << run.output;
    EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
  }
  const auto missing = tarnix({"link", "Demo", "/Shared/Documents/Gone.txt"});
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_EQ(missing.errors, "tarnix: /Shared/Documents/Gone.txt: no such item\n");

  // The mount still serves the drive.
  EXPECT_TRUE(isFuseMounted(mountPoint()));
  EXPECT_EQ(testing::readFile(mountPoint() / "Shared/Documents/Fresh.txt"),
            "written through the mount\n");
  const auto status = tarnix({"status", "Demo"});
  EXPECT_EQ(status.exitStatus, 0) << status.errors;
}

}  // namespace
}  // namespace tarnix::host
