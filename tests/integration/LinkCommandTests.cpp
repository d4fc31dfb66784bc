// `tarnix link` and `tarnix open-web` run as a user runs them: an empty container, `tarnix
// account add` and `tarnix drive add`, then one command that finds the item on a drive nothing
// has listed yet and asks the emulator for its shared link or its web page. What is printed is
// one line, the emulator's URL for that item; failures say which path and why.

#include <sys/stat.h>

#include <filesystem>

#include "integration/TarnixCommandFixture.hpp"
#include "support/ProgramRun.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::testing;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class LinkCommandTest : public TarnixCommandTest {
 protected:
  /// alice's account with the drive "Demo" on the cloud's root and "Team" on "/Shared".
  void addDrives() {
    const auto account = addAccount("alice", EmulatorProcess::kAliceToken, emulator().host());
    addDrive(account, "Demo");
    addDrive(account, "Team", "/Shared");
  }
  /// The cloud's id of the item at `cloudPath`, as alice sees it.
  std::string cloudID(const std::string& cloudPath) {
    std::string encoded;
    for (const char c : cloudPath) encoded += c == ' ' ? std::string("%20") : std::string(1, c);
    auto answer = tarnix::base::parseJSON(
        cloud(EmulatorProcess::kAliceToken, {emulator().baseURL() + "/api/v1/fs" + encoded}));
    if (!answer) return "(unreadable)";
    for (const char* key : {"group_id", "folder_id"}) {
      if (answer->contains(key)) return (*answer)[key].get<std::string>();
    }
    return "(no id)";
  }
  static std::vector<ReceivedRequest> linkRequests(const std::vector<ReceivedRequest>& requests) {
    std::vector<ReceivedRequest> found;
    for (const auto& r : requests) {
      if (r.path == "/api/v1/links" || r.path.starts_with("/rest/public/navigate/"))
        found.push_back(r);
    }
    return found;
  }
  static std::optional<std::string> queryValue(const ReceivedRequest& request,
                                               const std::string& name) {
    for (const auto& [key, value] : request.query)
      if (key == name) return value;
    return std::nullopt;
  }
};

TEST_F(LinkCommandTest, BothCommandsPrintTheCloudsURLOfAFileOrAFolder) {
  addDrives();
  struct Case {
    std::string drive;
    std::string path;       // as the user types it
    std::string cloudPath;  // as the cloud names the item
    bool folder;
  };
  const Case cases[] = {
      {"Demo", "/Shared/Documents/Notes.txt", "/Shared/Documents/Notes.txt", false},
      {"Demo", "shared/read only", "/Shared/Read Only", true},
      // The drive shows /Shared: its paths start below it.
      {"Team", "/Images/Beach.jpg", "/Shared/Images/Beach.jpg", false},
      {"Team", "/", "/Shared", true},
  };
  received();
  for (const auto& c : cases) {
    const std::string id = cloudID(c.cloudPath);
    received();
    const std::string host = "https://" + emulator().host() + "/";
    SCOPED_TRACE(c.drive + " " + c.path);

    const auto link = tarnix({"link", c.drive, c.path});
    EXPECT_EQ(link.exitStatus, 0) << link.errors;
    EXPECT_EQ(link.errors, "");
    EXPECT_TRUE(link.output.starts_with(host + "l/" + id + "/")) << link.output;
    EXPECT_EQ(link.output.find('\n'), link.output.size() - 1) << "one line";
    auto sent = linkRequests(received());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_EQ(sent[0].path, "/api/v1/links");
    auto body = tarnix::base::parseJSON(sent[0].body);
    ASSERT_TRUE(body) << sent[0].body;
    EXPECT_EQ(*body, (tarnix::base::JSONValue{{"type", c.folder ? "folder" : "file"},
                                              {"useDefaultSettings", true},
                                              {"path", c.cloudPath},
                                              {"id", id}}));

    const auto web = tarnix({"open-web", c.drive, c.path});
    EXPECT_EQ(web.exitStatus, 0) << web.errors;
    EXPECT_EQ(web.errors, "");
    EXPECT_TRUE(
        web.output.starts_with(host + "navigate/" + (c.folder ? "folder" : "preview") + "?"))
        << web.output;
    EXPECT_TRUE(web.output.ends_with("&item=" + id + "\n")) << web.output;
    sent = linkRequests(received());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].path,
              std::string("/rest/public/navigate/services/") + (c.folder ? "folder" : "preview"));
    EXPECT_EQ(queryValue(sent[0], "path"), c.cloudPath);
    EXPECT_EQ(queryValue(sent[0], "id"), id);
  }
}

TEST_F(LinkCommandTest, FailuresNameThePathAndTheCause) {
  addDrives();
  const std::string notes = "/Shared/Documents/Notes.txt";
  const std::string cloud = "the cloud " + emulator().host();
  struct Case {
    std::string name;
    std::vector<std::string> arguments;
    std::optional<tarnix::base::JSONValue> fault;
    std::string message;
  };
  const Case cases[] = {
      {"missing item",
       {"link", "Demo", "/Shared/Documents/Gone.txt"},
       std::nullopt,
       "tarnix: /Shared/Documents/Gone.txt: no such item"},
      {"missing folder on the way",
       {"open-web", "Demo", "/Shared/Nowhere/x"},
       std::nullopt,
       "tarnix: /Shared/Nowhere/x: no such item"},
      {"unknown drive",
       {"link", "Elsewhere", notes},
       std::nullopt,
       "tarnix: No drive has the label or identifier \"Elsewhere\""},
      {"cloud unavailable",
       {"link", "Demo", notes},
       tarnix::base::JSONValue{
           {"path", "^/api/v1/links"}, {"action", "status"}, {"status", 503}, {"count", -1}},
       "tarnix: " + notes + ": " + cloud + " refused: HTTP 503: Injected failure"},
      {"sharing refused with a reason",
       {"open-web", "Demo", "/Shared/Images"},
       tarnix::base::JSONValue{{"path", "^/rest/public/navigate/"},
                               {"action", "status"},
                               {"status", 403},
                               {"body", {{"message", "Sharing is disabled"}}},
                               {"count", -1}},
       "tarnix: /Shared/Images: " + cloud + " refused: HTTP 403: Sharing is disabled"},
      {"answer cut short",
       {"open-web", "Demo", notes},
       tarnix::base::JSONValue{
           {"path", "^/rest/public/navigate/"}, {"action", "malformed"}, {"count", -1}},
       "tarnix: " + notes + ": " + cloud +
           " gave an unreadable answer: Failed to parse response field: body"},
      {"answer without a link",
       {"link", "Demo", notes},
       tarnix::base::JSONValue{{"path", "^/api/v1/links"},
                               {"action", "status"},
                               {"status", 200},
                               {"body", {{"id", "7"}}},
                               {"count", -1}},
       "tarnix: " + notes + ": " + cloud +
           " gave an unreadable answer: Failed to parse response field: link"},
      {"answer that is not a web address",
       {"open-web", "Demo", notes},
       tarnix::base::JSONValue{{"path", "^/rest/public/navigate/"},
                               {"action", "status"},
                               {"status", 200},
                               {"body", {{"url", "file:///etc/passwd"}}},
                               {"count", -1}},
       "tarnix: " + notes + ": " + cloud +
           " gave an unreadable answer: Failed to parse response field: url"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) addFault(*c.fault);
    const auto run = tarnix(c.arguments);
    admin(tarnix::base::HTTPMethod::delete_, "/__admin/faults");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, c.message + "\n");
  }
}

TEST_F(LinkCommandTest, OpenHandsTheURLToXdgOpenOrSaysItIsMissing) {
  addDrives();
  TempDir bin{"tarnix-link-bin"};
  const fs::path opened = bin.path() / "opened";
  const fs::path withOpener = bin.path() / "with";
  const fs::path without = bin.path() / "without";
  fs::create_directories(withOpener);
  fs::create_directories(without);
  // A stand-in for the desktop's opener: records its arguments, and talks on standard output
  // as real openers do.
  const fs::path opener = withOpener / "xdg-open";
  writeFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + opened.string() +
                        "'\necho 'opening in the browser'\n");
  ASSERT_EQ(::chmod(opener.c_str(), 0755), 0);

  auto run = [&](const fs::path& path) {
    return runProgram({tarnixProgram(), "open-web", "Demo", "/Shared/Documents", "--open"},
                      {{"TARNIX_HOME", home_.path().string()},
                       {"TARNIX_CA_FILE", emulator().caFile().string()},
                       {"PATH", path.string()}},
                      {}, 90s);
  };
  const auto shown = run(withOpener);
  EXPECT_EQ(shown.exitStatus, 0) << shown.errors;
  EXPECT_TRUE(shown.output.starts_with("https://" + emulator().host() + "/navigate/folder?"))
      << shown.output;
  EXPECT_EQ(shown.output.find('\n'), shown.output.size() - 1) << "only the URL on the output";
  EXPECT_EQ(readFile(opened), shown.output);
  EXPECT_NE(shown.errors.find("opening in the browser"), std::string::npos);

  const auto missing = run(without);
  EXPECT_EQ(missing.exitStatus, 1);
  // The URL is still printed, so that the user can open it.
  EXPECT_TRUE(missing.output.starts_with("https://" + emulator().host() + "/navigate/folder?"));
  EXPECT_EQ(missing.errors, "tarnix: xdg-open was not found; open the URL above yourself\n");
}

}  // namespace
