// `tarnix mkdir`, `mv`, `rm` and `rmdir` on a drive no mount serves, from a fresh container:
// each command serves the drive itself and hands its changes to the provider, which carries
// them to the cloud. Failures name the path and the cause, leave the cloud as it was, and end
// the command with status 1.

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "base/Uuid.hpp"
#include "integration/TarnixCommandFixture.hpp"

using namespace tarnix::testing;

namespace {

using namespace std::chrono_literals;

class NamespaceCommandTest : public TarnixCommandTest {
 protected:
  void SetUp() override {
    addDrive(addAccount("alice", EmulatorProcess::kAliceToken, emulator().host()), "Demo");
    base_ = "/Shared/cmds-" + tarnix::base::makeUuid().substr(0, 8);
  }
  /// The cloud's answer to alice asking for the item at `path` (no spaces in it): 200 or 404.
  std::string cloudStatus(const std::string& path) {
    const auto result = runProgram(
        {"/usr/bin/curl", "-sS", "--max-time", "30", "--cacert", emulator().caFile().string(), "-H",
         "Authorization: " + EmulatorProcess::authorization(EmulatorProcess::kAliceToken), "-o",
         "/dev/null", "-w", "%{http_code}", emulator().baseURL() + "/api/v1/fs" + path},
        {}, {}, 40s);
    EXPECT_EQ(result.exitStatus, 0) << result.errors;
    return result.output;
  }
  void uploadToCloud(const std::string& path, const std::string& content) {
    cloud(EmulatorProcess::kAliceToken, {"-X", "POST", "--data-binary", content,
                                         emulator().baseURL() + "/api/v1/fs-content" + path});
  }
  /// Runs `tarnix ARGUMENTS...` expecting success and silence.
  void succeeds(std::vector<std::string> arguments) {
    const auto run = tarnix(arguments);
    std::string command;
    for (const auto& a : arguments) command += a + " ";
    EXPECT_EQ(run.exitStatus, 0) << command << "\n" << run.errors;
    EXPECT_EQ(run.errors, "") << command;
    EXPECT_EQ(run.output, "") << command;
  }
  std::string base_;
};

TEST_F(NamespaceCommandTest, EachCommandCarriesItsChangeToTheCloud) {
  succeeds({"mkdir", "Demo", base_, base_ + "/a", base_ + "/b"});
  EXPECT_EQ(cloudStatus(base_ + "/a"), "200");
  EXPECT_EQ(cloudStatus(base_ + "/b"), "200");
  uploadToCloud(base_ + "/a/f.txt", "f");
  uploadToCloud(base_ + "/a/h.txt", "h");

  struct Step {
    std::vector<std::string> arguments;  // after the command's name and the drive
    std::vector<std::string> present, gone;
  };
  const Step steps[] = {
      // Into an existing folder, under the same name.
      {{"mv", base_ + "/a/f.txt", base_ + "/b"}, {base_ + "/b/f.txt"}, {base_ + "/a/f.txt"}},
      // A rename in place.
      {{"mv", base_ + "/b/f.txt", base_ + "/b/g.txt"}, {base_ + "/b/g.txt"}, {base_ + "/b/f.txt"}},
      // A folder moved and renamed at once, with what it holds.
      {{"mv", base_ + "/b", base_ + "/a/c"}, {base_ + "/a/c/g.txt"}, {base_ + "/b"}},
      {{"rm", base_ + "/a/c/g.txt"}, {base_ + "/a/c"}, {base_ + "/a/c/g.txt"}},
      {{"rmdir", base_ + "/a/c"}, {base_ + "/a"}, {base_ + "/a/c"}},
  };
  for (const auto& step : steps) {
    std::vector<std::string> arguments = {step.arguments.front(), "Demo"};
    arguments.insert(arguments.end(), step.arguments.begin() + 1, step.arguments.end());
    SCOPED_TRACE(arguments[0] + " " + arguments[2]);
    succeeds(arguments);
    for (const auto& path : step.present) EXPECT_EQ(cloudStatus(path), "200") << path;
    for (const auto& path : step.gone) EXPECT_EQ(cloudStatus(path), "404") << path;
  }

  // A new spelling of the same name renames.
  succeeds({"mv", "Demo", base_ + "/a/h.txt", base_ + "/a/H.txt"});
  const auto renamed = tarnix({"ls", "Demo", base_ + "/a"});
  EXPECT_NE(renamed.output.find(" H.txt\n"), std::string::npos) << renamed.output;
  EXPECT_NE(cloud(EmulatorProcess::kAliceToken,
                  {emulator().baseURL() + "/api/v1/fs" + base_ + "/a/h.txt"})
                .find("\"path\":\"" + base_ + "/a/H.txt\""),
            std::string::npos);

  // One recursive removal takes the tree, and the drive no longer shows it.
  succeeds({"rm", "-r", "Demo", base_});
  EXPECT_EQ(cloudStatus(base_), "404");
  const auto listed = tarnix({"ls", "Demo", "/Shared"});
  EXPECT_EQ(listed.exitStatus, 0) << listed.errors;
  EXPECT_EQ(listed.output.find(base_.substr(std::string("/Shared/").size())), std::string::npos)
      << listed.output;
}

// The provider's refusal to delete what the user may not delete: EPERM where the host's errno
// table has a row for it, else in the provider's own words.
bool isRefusedDeletion(const std::string& errors, const std::string& path) {
  return errors == "tarnix: " + path + ": " + std::strerror(EPERM) + "\n" ||
         errors == "tarnix: " + path + ": The item cannot be deleted.\n";
}

// `tarnix put` on a drive no mount serves: a new file, into a folder under its own name, and a
// new version of a file that is there; what cannot be put fails with the path.
TEST_F(NamespaceCommandTest, PutUploadsFilesAndNewVersions) {
  succeeds({"mkdir", "Demo", base_});
  TempDir local("tarnix-put");
  writeFile(local.path() / "report.txt", "first\n");
  succeeds({"put", "Demo", (local.path() / "report.txt").string(), base_ + "/named.txt"});
  succeeds({"put", "Demo", (local.path() / "report.txt").string(), base_});
  writeFile(local.path() / "report.txt", "second\n");
  succeeds({"put", "Demo", (local.path() / "report.txt").string(), base_ + "/report.txt"});
  const auto content = [&](const std::string& path) {
    return cloud(EmulatorProcess::kAliceToken,
                 {emulator().baseURL() + "/api/v1/fs-content" + path});
  };
  EXPECT_EQ(content(base_ + "/named.txt"), "first\n");
  EXPECT_EQ(content(base_ + "/report.txt"), "second\n");

  const auto missing = tarnix({"put", "Demo", (local.path() / "none").string(), base_});
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_NE(missing.errors.find("none"), std::string::npos) << missing.errors;
  const auto noFolder =
      tarnix({"put", "Demo", (local.path() / "report.txt").string(), base_ + "/nowhere/x.txt"});
  EXPECT_EQ(noFolder.exitStatus, 1);
  EXPECT_NE(noFolder.errors.find("No such file or directory"), std::string::npos)
      << noFolder.errors;
}

TEST_F(NamespaceCommandTest, FailuresNameThePathAndTheCauseAndChangeNothing) {
  // Made on the cloud; the drive lists each folder when a command first walks through it.
  const auto base = makeFolder(folderAt("/Shared"), base_.substr(std::string("/Shared/").size()));
  uploadFile(base_ + "/full/x.txt", "x", makeFolder(base, "full"));
  uploadFile(base_ + "/f.txt", "f", base);
  makeFolder(makeFolder(base, "kept"), "inner");
  // Alice may only read what is in "kept".
  admin(tarnix::base::HTTPMethod::post, "/__admin/permissions",
        tarnix::base::JSONValue{
            {"user", "alice"}, {"path", base_ + "/kept"}, {"permission", "viewer"}}
            .dump());

  struct Case {
    std::vector<std::string> arguments;  // after the command's name and the drive
    std::string errors;
  };
  const Case cases[] = {
      {{"rmdir", base_ + "/full"}, base_ + "/full: Directory not empty"},
      {{"rm", base_ + "/full"}, base_ + "/full: Is a directory"},
      {{"rmdir", base_ + "/f.txt"}, base_ + "/f.txt: Not a directory"},
      {{"mkdir", base_ + "/full"}, base_ + "/full: File exists"},
      {{"mkdir", base_ + "/FULL"}, base_ + "/FULL: File exists"},
      {{"mkdir", base_ + "/missing/new"}, base_ + "/missing/new: No such file or directory"},
      {{"mkdir", base_ + "/f.txt/new"}, base_ + "/f.txt/new: Not a directory"},
      {{"rm", base_ + "/missing"}, base_ + "/missing: No such file or directory"},
      {{"mv", base_ + "/missing", base_ + "/kept"}, base_ + "/missing: No such file or directory"},
      {{"mv", base_ + "/f.txt", base_ + "/full/x.txt"}, base_ + "/full/x.txt: File exists"},
      {{"mv", base_ + "/full", base_ + "/full/deeper"},
       base_ + "/full: cannot move a folder into itself"},
      {{"rm", "-r", "/"}, "/: the drive's root cannot be removed"},
      {{"mv", "/", base_ + "/kept"}, "/: the drive's root cannot be moved"},
      {{"mkdir", base_ + "/../escape"},
       base_ + "/../escape: \"..\" cannot be used in a drive path"},
      {{"mkdir", "/Shared/Read Only/new"}, "/Shared/Read Only/new: Permission denied"},
      // The other paths of the command are still made.
      {{"mkdir", base_ + "/one", base_ + "/missing/two", base_ + "/three"},
       base_ + "/missing/two: No such file or directory"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {c.arguments.front(), "Demo"};
    arguments.insert(arguments.end(), c.arguments.begin() + 1, c.arguments.end());
    SCOPED_TRACE(c.errors);
    const auto run = tarnix(arguments);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "tarnix: " + c.errors + "\n");
  }
  const auto refused = tarnix({"rmdir", "Demo", base_ + "/kept/inner"});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_TRUE(isRefusedDeletion(refused.errors, base_ + "/kept/inner")) << refused.errors;

  for (const auto& path : {base_ + "/full/x.txt", base_ + "/f.txt", base_ + "/kept/inner",
                           base_ + "/one", base_ + "/three"})
    EXPECT_EQ(cloudStatus(path), "200") << path;
  EXPECT_EQ(cloudStatus(base_ + "/full/deeper"), "404");
}

// One process serves the drive at a time: a command that changes it while another command
// reads it waits for that one to end, and both do what they were asked.
TEST_F(NamespaceCommandTest, ACommandThatChangesTheDriveWaitsForOneThatServesIt) {
  addFault({{"path", "^/rest/public/v1/fsc/folders"},
            {"action", "delay"},
            {"delayMs", 3000},
            {"count", 1}});
  auto reading = std::async(std::launch::async, [&] { return tarnix({"ls", "Demo", "/Shared"}); });
  // The reader holds the drive's lock from its start (the only drive of the container).
  std::filesystem::path lockFile;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (lockFile.empty() && std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    for (const auto& drive :
         std::filesystem::directory_iterator(home_.path() / "Tarnix" / "Drives", ec)) {
      const auto candidate = drive.path() / "Host" / "Drive.lock";
      if (readFile(candidate).starts_with("pid ")) lockFile = candidate;
    }
    if (lockFile.empty()) std::this_thread::sleep_for(20ms);
  }
  ASSERT_FALSE(lockFile.empty()) << "the reading command never held the drive";

  succeeds({"mkdir", "Demo", base_});
  const auto read = reading.get();
  EXPECT_EQ(read.exitStatus, 0) << read.errors;
  EXPECT_NE(read.output.find(" Documents/\n"), std::string::npos) << read.output;
  EXPECT_EQ(cloudStatus(base_), "200");
  EXPECT_EQ(readFile(lockFile), "");
}

}  // namespace
