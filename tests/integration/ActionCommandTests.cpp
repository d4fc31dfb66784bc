// `tarnix lock`, `unlock`, `locks`, `refresh`, `crawl` and `action` on a drive no mount serves,
// from a fresh container: each command serves the drive itself and hands the action to its
// provider.

#include <string>
#include <vector>

#include "base/JSONValue.hpp"
#include "base/Uuid.hpp"
#include "integration/TarnixCommandFixture.hpp"

using namespace tarnix::testing;

namespace {

class ActionCommandTest : public TarnixCommandTest {
 protected:
  void SetUp() override {
    addDrive(addAccount("alice", EmulatorProcess::kAliceToken, emulator().host()), "Demo");
    const std::string name = "actions-" + tarnix::base::makeUuid().substr(0, 8);
    base_ = "/Shared/" + name;
    const auto folder = makeFolder(folderAt("/Shared"), name);
    uploadFile(base_ + "/a.txt", "text", folder);
    const auto deep = makeFolder(makeFolder(folder, "sub"), "deep");
    uploadFile(base_ + "/sub/deep/b.txt", "text", deep);
  }
  // Who holds the lock of `path` on the cloud (first name), "" when nobody does.
  std::string lockHolder(const std::string& path) {
    auto answer = tarnix::base::parseJSON(
        cloud(EmulatorProcess::kBobToken,
              {emulator().baseURL() + "/api/v1/fs" + path + "?include_locks=true"}));
    if (!answer || !answer->is_object()) return "?";
    const auto lock = answer->value("lock", tarnix::base::JSONValue());
    return lock.is_object() ? lock.value("first_name", std::string()) : "";
  }
  std::string base_;
};

TEST_F(ActionCommandTest, LocksAndListingsOfADriveNoMountServes) {
  const std::string file = base_ + "/a.txt";
  auto locked = tarnix({"lock", "Demo", file});
  ASSERT_EQ(locked.exitStatus, 0) << locked.errors;
  EXPECT_EQ(locked.output, "Locked " + file + "\n");
  EXPECT_EQ(lockHolder(file), "Alice");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"locks", "Demo"}, std::vector<std::string>{"locks"}}) {
    const auto listed = tarnix(command);
    EXPECT_EQ(listed.exitStatus, 0) << listed.errors;
    EXPECT_EQ(listed.output.rfind("Demo\t" + file + "\tmanual\tuntil ", 0), 0u) << listed.output;
  }

  auto unlocked = tarnix({"unlock", "Demo", file});
  ASSERT_EQ(unlocked.exitStatus, 0) << unlocked.errors;
  EXPECT_EQ(unlocked.output, "Unlocked " + file + "\n");
  EXPECT_EQ(lockHolder(file), "");
  EXPECT_EQ(tarnix({"locks", "Demo"}).output, "No locks\n");

  for (const auto& [command, done] : {std::pair<std::string, std::string>{"refresh", "Refreshed"},
                                      std::pair<std::string, std::string>{"crawl", "Crawled"}}) {
    const auto run = tarnix({command, "Demo", base_});
    EXPECT_EQ(run.exitStatus, 0) << command << ": " << run.errors;
    EXPECT_EQ(run.output, done + " " + base_ + "\n");
  }
  // After the crawl, the deepest folder is known without listing it again.
  const auto deep = tarnix({"ls", "Demo", base_ + "/sub/deep"});
  EXPECT_NE(deep.output.find("b.txt"), std::string::npos) << deep.errors;
}

// What an action cannot take, or what has no meaning on this system, is refused with its
// reason and exit status 1; the other paths of the command are still carried out.
TEST_F(ActionCommandTest, RefusalsNameThePathAndTheReason) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"lock", "Demo", base_}, base_ + ": Lock takes only files"},
      {{"crawl", "Demo", base_ + "/a.txt"}, "takes only folders"},
      {{"unlock", "Demo", base_ + "/missing.txt"}, "missing.txt"},
      {{"action", "Demo", "CopyLink", base_ + "/a.txt"}, "use `tarnix link`"},
      {{"action", "Demo", "Subscribe", base_}, "not available on Linux"},
      {{"lock", "Nowhere", base_ + "/a.txt"}, "Nowhere"},
  };
  for (const auto& c : cases) {
    const auto run = tarnix(c.args);
    EXPECT_EQ(run.exitStatus, 1) << c.args[0];
    EXPECT_NE(run.errors.find(c.says), std::string::npos) << run.errors;
  }
  const auto mixed = tarnix({"lock", "Demo", base_ + "/missing.txt", base_ + "/a.txt"});
  EXPECT_EQ(mixed.exitStatus, 1);
  EXPECT_EQ(mixed.output, "Locked " + base_ + "/a.txt\n");
  EXPECT_EQ(lockHolder(base_ + "/a.txt"), "Alice");
}

}  // namespace
