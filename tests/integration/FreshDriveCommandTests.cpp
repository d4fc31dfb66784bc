// `tarnix ls`, `stat`, `get` and `cat` on drives that were never mounted nor listed, run as a
// user runs them: an empty container, `tarnix account add` and `tarnix drive add`, then one
// command. The folders on the path are listed from the emulator as the command walks it; a
// listing that fails names the folder and the cause. Lock holders are named by the cloud, and
// an account added without its user identifier gets the cloud's.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "base/Uuid.hpp"
#include "integration/TarnixCommandFixture.hpp"
#include "support/ProgramRun.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::testing;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A loopback port where nothing answers: bound, never listening, so connections are refused.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~RefusingPort() { ::close(fd_); }
  std::string host() const { return "localhost:" + std::to_string(port_); }
  bool ok() const { return port_ != 0; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class FreshDriveCommandTest : public TarnixCommandTest {
 protected:
  /// The "USER ID" column of the account's line in `tarnix account list`.
  std::string userIdentifierOf(const std::string& account) {
    const auto listed = tarnix({"account", "list"}).output;
    const auto line = listed.find(account + "\t");
    if (line == std::string::npos) return "(no such account)";
    std::vector<std::string> columns;
    std::size_t start = line;
    const std::size_t end = listed.find('\n', line);
    while (start < end) {
      const auto tab = std::min(listed.find('\t', start), end);
      columns.push_back(listed.substr(start, tab - start));
      start = tab + 1;
    }
    return columns.size() > 3 ? columns[3] : "(no column)";
  }
  /// Requests of `method` on paths starting with `prefix` among `requests`.
  static std::vector<ReceivedRequest> matching(const std::vector<ReceivedRequest>& requests,
                                               const std::string& method,
                                               const std::string& prefix) {
    std::vector<ReceivedRequest> found;
    for (const auto& r : requests)
      if (r.method == method && r.path.starts_with(prefix)) found.push_back(r);
    return found;
  }
  TempDir files_{"tarnix-fresh-files"};
};

TEST_F(FreshDriveCommandTest, EachCommandListsTheFoldersOnItsPathFromTheCloud) {
  const auto account = addAccount("alice", EmulatorProcess::kAliceToken, emulator().host());
  struct Case {
    std::string label;
    std::vector<std::string> arguments;  // after the drive's label
    std::vector<std::string> lines;      // each in the standard output
  };
  const fs::path got = files_.path() / "Handbook copy.pdf";
  const Case cases[] = {
      {"ls-root", {"ls"}, {"d            - ", " Private/\n", " Shared/\n"}},
      {"ls-nested",
       {"ls", "/Shared/Documents"},
       {" Budget.xlsx\n", " Locked.docx\n", " Notes.txt\n", " Report.docx\n"}},
      {"ls-any-case", {"ls", "shared/images"}, {"1024 ", " Beach.jpg\n", " Mountains.png\n"}},
      {"stat-nested",
       {"stat", "/Shared/Images/Beach.jpg"},
       {"name: Beach.jpg\n", "type: file\n", "size: 1024\n"}},
      {"stat-root", {"stat", "/"}, {"type: folder\n", "\"tarnixPermission\":"}},
      {"cat-nested", {"cat", "/Private/Drafts/Ideas.txt"}, {"Ideas for next quarter\n"}},
      {"get-nested", {"get", "/Shared/Read Only/Handbook.pdf", got.string()}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    // Every case starts from a drive that nothing has listed yet.
    addDrive(account, c.label);
    std::vector<std::string> arguments = {c.arguments.front(), c.label};
    arguments.insert(arguments.end(), c.arguments.begin() + 1, c.arguments.end());
    const auto run = tarnix(arguments);
    EXPECT_EQ(run.exitStatus, 0) << run.errors;
    EXPECT_EQ(run.errors, "");
    for (const auto& line : c.lines) EXPECT_NE(run.output.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(readFile(got), "%PDF-1.4 handbook\n");
  // The folders were listed by the commands: the drive roots by path, the others by id.
  const auto requests = received();
  EXPECT_GE(matching(requests, "GET", "/rest/public/v1/fsc/folders/").size(), 5u);
}

TEST_F(FreshDriveCommandTest, AListingThatFailsNamesTheFolderAndTheCause) {
  RefusingPort nowhere;
  ASSERT_TRUE(nowhere.ok());
  // Added while the cloud cannot be reached: the account is kept, its user not yet known.
  const auto offline = addAccount("alice", EmulatorProcess::kAliceToken, nowhere.host());
  addDrive(offline, "Offline");
  const auto refused = addAccount("carol", "no-such-token", emulator().host(), {"--user-id", "9"});
  addDrive(refused, "Refused");
  const auto alice = addAccount("alice", EmulatorProcess::kAliceToken, emulator().host());
  addDrive(alice, "Demo");
  addDrive(alice, "Gone", "/Shared/Gone");

  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const Case cases[] = {
      {{"ls", "Offline", "/Shared"},
       "tarnix: /: cannot list the folder: server unreachable (" + nowhere.host() + ")"},
      {{"cat", "Offline", "/Shared/Documents/Notes.txt"},
       "tarnix: /: cannot list the folder: server unreachable (" + nowhere.host() + ")"},
      {{"ls", "Refused", "/"},
       "tarnix: /: cannot list the folder: authentication refused by " + emulator().host() +
           " (add the account again to sign in)"},
      {{"stat", "Refused", "/Shared/Documents"},
       "tarnix: /: cannot list the folder: authentication refused by " + emulator().host() +
           " (add the account again to sign in)"},
      {{"ls", "Gone"}, "tarnix: /: cannot list the folder: no such item on the cloud"},
      {{"ls", "Demo", "/Shared/Nowhere"}, "tarnix: /Shared/Nowhere: no such item"},
      {{"get", "Demo", "/Shared/Nowhere/Report.docx", (files_.path() / "x").string()},
       "tarnix: /Shared/Nowhere/Report.docx: no such item"},
      {{"stat", "Demo", "/Shared/Documents/Notes.txt/more"},
       "tarnix: /Shared/Documents/Notes.txt/more: not a folder"},
      {{"cat", "Demo", "/Shared/Documents"}, "tarnix: /Shared/Documents: is a folder"},
  };
  for (const auto& c : cases) {
    std::string command;
    for (const auto& a : c.arguments) command += a + " ";
    SCOPED_TRACE(command);
    const auto run = tarnix(c.arguments);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, c.message + "\n");
  }
  EXPECT_FALSE(fs::exists(files_.path() / "x"));
}

TEST_F(FreshDriveCommandTest, LockHoldersAreNamedByTheCloudAndOnlyTheUsersOwnLockIsTheirs) {
  // alice adds her account without a user identifier: the cloud tells it (alice is user 1).
  const auto account = addAccount("alice", EmulatorProcess::kAliceToken, emulator().host());
  EXPECT_EQ(userIdentifierOf(account), "1");
  addDrive(account, "Demo");

  // A file of alice's own, locked by alice, beside the seeded file bob locked.
  const std::string folder = "Locks-" + tarnix::base::makeUuid().substr(0, 8);
  const auto created = makeFolder(folderAt("/Shared"), folder);
  const auto mine = uploadFile("/Shared/" + folder + "/Mine.txt", "mine\n", created);
  const auto bobs = uploadFile("/Shared/" + folder + "/Bobs.txt", "bob's\n", created);
  cloud(EmulatorProcess::kAliceToken,
        {"-X", "POST", "-H", "Content-Type: application/json", "-d", R"({"action":"lock"})",
         emulator().baseURL() + "/api/v1/fs/ids/file/" + mine.cloudIdentifier->rawValue()});
  cloud(EmulatorProcess::kBobToken,
        {"-X", "POST", "-H", "Content-Type: application/json", "-d", R"({"action":"lock"})",
         emulator().baseURL() + "/api/v1/fs/ids/file/" + bobs.cloudIdentifier->rawValue()});
  received();

  struct Case {
    std::string path;
    std::vector<std::string> lines;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {"/Shared/Documents/Locked.docx",
       {"locked by: Bob Brown\n", "\"lockOwner\":\"Bob Brown\"", "\"currentUserOwnsLock\":false"},
       {"writing", ".isSelfLocked"}},
      {"/Shared/" + folder + "/Bobs.txt",
       {"locked by: Bob Brown\n", "\"currentUserOwnsLock\":false"},
       {"writing", ".isSelfLocked"}},
      {"/Shared/" + folder + "/Mine.txt",
       {"locked by: you\n", "\"lockOwner\":\"Alice Adams\"", "\"currentUserOwnsLock\":true",
        "capabilities: reading writing"},
       {".isLocked\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto run = tarnix({"stat", "Demo", c.path});
    EXPECT_EQ(run.exitStatus, 0) << run.errors;
    for (const auto& line : c.lines) EXPECT_NE(run.output.find(line), std::string::npos) << line;
    for (const auto& text : c.absent)
      EXPECT_EQ(run.output.find(text), std::string::npos) << text << "\n" << run.output;
  }
  // The listings were followed by the requests that name the holders.
  const auto asked = matching(received(), "GET", "/api/v1/fs/ids/file/");
  std::set<std::string> named;
  for (const auto& r : asked) {
    for (const auto& [name, value] : r.query)
      if (name == "include_locks" && value == "true") named.insert(r.path);
  }
  EXPECT_TRUE(named.contains("/api/v1/fs/ids/file/" + mine.cloudIdentifier->rawValue()));
  EXPECT_TRUE(named.contains("/api/v1/fs/ids/file/" + bobs.cloudIdentifier->rawValue()));
}

TEST_F(FreshDriveCommandTest, AUserTheCloudCouldNotNameAtFirstIsNamedWhenTheDriveIsUsed) {
  addFault({{"path", "^/rest/public/1.0/users/me"},
            {"action", "status"},
            {"status", 503},
            {"count", 1}});
  const auto account = addAccount("bob", EmulatorProcess::kBobToken, emulator().host());
  EXPECT_EQ(userIdentifierOf(account), "0");
  addDrive(account, "Bob's");
  const auto run = tarnix({"stat", "Bob's", "/Shared/Documents/Locked.docx"});
  EXPECT_EQ(run.exitStatus, 0) << run.errors;
  // bob is user 2, and the lock on the seeded file is his own.
  EXPECT_EQ(userIdentifierOf(account), "2");
  EXPECT_NE(run.output.find("locked by: you\n"), std::string::npos) << run.output;
}

TEST_F(FreshDriveCommandTest, CredentialsTheCloudRefusesAddNoAccount) {
  auto refused = tarnix({"account", "add", "--domain", emulator().host(), "--user", "carol",
                         "--access-token-file", "-"},
                        "no-such-token\n");
  EXPECT_NE(refused.exitStatus, 0);
  EXPECT_NE(refused.errors.find("refused the account's credentials; the account was not added"),
            std::string::npos)
      << refused.errors;
  EXPECT_EQ(refused.output, "");
  EXPECT_EQ(tarnix({"account", "list"}).output.find("carol"), std::string::npos);
  // The same user with credentials the cloud accepts is added.
  EXPECT_EQ(userIdentifierOf(addAccount("bob", EmulatorProcess::kBobToken, emulator().host())),
            "2");
}

}  // namespace
