// A drive of the local cloud emulator mounted with `tarnix mount`, through the real provider:
// the tree the mount shows is the cloud's, files read the cloud's bytes, a change made on the
// cloud shows once the folder is listed again (no remount), listing or stat'ing downloads
// nothing (counted in the emulator's request log), a stopped cloud shows in `tarnix status` until
// it is back, and the requests carry the life-cycle id of the start-up log line. Skips where FUSE
// cannot be used.
#include "fuse/EmulatorMountFixture.hpp"

namespace tarnix::host {
namespace {

using namespace mounttest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::EmulatorProcess;

TEST_F(EmulatorMountTest, TheMountShowsTheCloudsTreeAndBytes) {
  EXPECT_EQ(tree(), seededTree());
  for (const auto& [path, bytes] : seededFiles()) {
    SCOPED_TRACE(path);
    EXPECT_EQ(testing::readFile(mountPoint() / path), bytes);
    struct stat st {};
    ASSERT_EQ(::stat((mountPoint() / path).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(bytes.size()));
  }
}

TEST_F(EmulatorMountTest, ListingAndStatDownloadNothing) {
  forgetRequests();
  EXPECT_EQ(tree(), seededTree());
  for (const auto& [path, bytes] : seededFiles()) {
    struct stat st {};
    EXPECT_EQ(::stat((mountPoint() / path).c_str(), &st), 0) << path;
  }
  EXPECT_EQ(downloads(), 0);
  // The count sees downloads: reading a file is one.
  EXPECT_EQ(testing::readFile(mountPoint() / "Shared/Documents/Notes.txt"),
            seededFiles()["Shared/Documents/Notes.txt"]);
  EXPECT_GE(downloads(), 1);
}

TEST_F(EmulatorMountTest, ACloudChangeShowsWhenTheFolderIsListedAgain) {
  const fs::path notes = mountPoint() / "Shared/Documents/Notes.txt";
  ASSERT_EQ(testing::readFile(notes), seededFiles()["Shared/Documents/Notes.txt"]);
  const std::string changed = "Meeting notes\n- changed on the cloud\n- and longer than before\n";
  const fs::path upload = dir_.path() / "Notes.txt";
  testing::writeFile(upload, changed);
  cloud({"-H", asAlice(), "-X", "POST", "-T", upload.string(),
         emulator_->baseURL() + "/api/v1/fs-content/Shared/Documents/Notes.txt", "-o",
         "/dev/null"});
  cloud({"-H", asAlice(), "-X", "POST", "-T", upload.string(),
         emulator_->baseURL() + "/api/v1/fs-content/Shared/Documents/New.txt", "-o", "/dev/null"});
  EXPECT_TRUE(eventually([&] {
    (void)tree();  // lists every folder again
    return testing::readFile(notes) == changed &&
           fs::exists(mountPoint() / "Shared/Documents/New.txt");
  })) << testing::readFile(notes);
  EXPECT_EQ(testing::readFile(mountPoint() / "Shared/Documents/New.txt"), changed);
}

// A drive whose cloud stops answering says so in `tarnix status` once the mount meets the
// silence (a folder shown for the first time asks the cloud), and notices by itself that the
// cloud is back.
TEST_F(EmulatorMountTest, AStoppedCloudShowsUnreachableInStatusAndTheDriveRecoversByItself) {
  const auto status = [&] { return tarnix({"status", "Demo"}).output; };
  std::set<std::string> shared;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(mountPoint() / "Shared", ec))
    shared.insert(entry.path().filename().string());
  ASSERT_TRUE(shared.contains("Images")) << ec.message();
  EXPECT_NE(status().find("Server: reachable\n"), std::string::npos) << status();

  ASSERT_TRUE(emulator_->stop());
  // Never shown before: showing it lists it from the cloud, which does not answer.
  for (auto it = fs::directory_iterator(mountPoint() / "Shared" / "Images", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
  }
  EXPECT_TRUE(
      eventually([&] { return status().find("Server: unreachable\n") != std::string::npos; }, 30s))
      << status();

  auto restarted = emulator_->restart();
  ASSERT_TRUE(restarted) << restarted.error();
  EXPECT_TRUE(
      eventually([&] { return status().find("Server: reachable\n") != std::string::npos; }, 60s))
      << status();
  EXPECT_TRUE(eventually([&] { return tree() == seededTree(); }, 30s));
}

// While the drive is mounted, commands that change it go through the mount, so that the
// mount's own records see the change: it shows on the mount point as soon as the command
// ends, and reaches the cloud. Commands that read the drive work beside the mount.
TEST_F(EmulatorMountTest, CommandsChangeTheDriveThroughTheMountThatServesIt) {
  const auto listed = tarnix({"ls", "Demo", "/Shared/Documents"});
  EXPECT_EQ(listed.exitStatus, 0) << listed.errors;
  EXPECT_NE(listed.output.find(" Notes.txt\n"), std::string::npos) << listed.output;
  EXPECT_TRUE(isFuseMounted(mountPoint()));

  // What alice's cloud answers for `path`: 200 or 404.
  const auto onCloud = [&](const std::string& path) {
    auto result =
        testing::runProgram({"/usr/bin/curl", "-sS", "--max-time", "20", "--cacert",
                             emulator_->caFile().string(), "-H", asAlice(), "-o", "/dev/null", "-w",
                             "%{http_code}", emulator_->baseURL() + "/api/v1/fs" + path},
                            {}, {}, 30s);
    return result.output;
  };

  const auto made = tarnix({"mkdir", "Demo", "/Shared/ViaMount"});
  EXPECT_EQ(made.exitStatus, 0) << made.errors;
  EXPECT_TRUE(fs::is_directory(mountPoint() / "Shared/ViaMount"));
  EXPECT_TRUE(eventually([&] { return onCloud("/Shared/ViaMount") == "200"; }));

  struct Step {
    std::vector<std::string> arguments;
    std::string present, gone;  // on the mount point at once, then on the cloud
  };
  const Step steps[] = {
      {{"mv", "Demo", "/Shared/ViaMount", "/Shared/Documents"},
       "/Shared/Documents/ViaMount",
       "/Shared/ViaMount"},
      {{"mv", "Demo", "/Shared/Documents/ViaMount", "/Shared/Documents/Renamed"},
       "/Shared/Documents/Renamed",
       "/Shared/Documents/ViaMount"},
      {{"rmdir", "Demo", "/Shared/Documents/Renamed"},
       "/Shared/Documents",
       "/Shared/Documents/Renamed"},
      {{"rm", "Demo", "/Shared/Documents/Notes.txt"},
       "/Shared/Documents",
       "/Shared/Documents/Notes.txt"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.arguments[0] + " " + step.arguments[2]);
    const auto run = tarnix(step.arguments);
    EXPECT_EQ(run.exitStatus, 0) << run.errors;
    EXPECT_TRUE(fs::exists(mountPoint() / step.present.substr(1)));
    EXPECT_FALSE(fs::exists(mountPoint() / step.gone.substr(1)));
    EXPECT_TRUE(
        eventually([&] { return onCloud(step.present) == "200" && onCloud(step.gone) == "404"; }));
  }
  // The mount's refusals are the command's.
  const auto refused = tarnix({"rmdir", "Demo", "/Shared/Documents"});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(refused.errors, "tarnix: /Shared/Documents: Directory not empty\n");
}

// The serving process logs its life-cycle id in its start-up line and sends the same id with
// every request, so that the cloud's records of a run can be matched with its log.
TEST_F(EmulatorMountTest, TheMountsRequestsCarryTheLifeCycleIdOfItsStartUpLine) {
  EXPECT_EQ(tree(), seededTree());
  const fs::path log = dir_.path() / "home" / "Tarnix" / "Logs" / "FileProvider.log";
  // The start-up line, its metadata on the line below it.
  const std::regex startUp(
      R"(Initializing File Provider process\.\.\.\([^\n]*\n[^\n]*appLifecycleID: \"([0-9a-fA-F-]{36})\")");
  std::vector<std::string> logged;
  ASSERT_TRUE(eventually([&] {
    const auto text = testing::readFile(log);
    logged.clear();
    for (auto it = std::sregex_iterator(text.begin(), text.end(), startUp);
         it != std::sregex_iterator(); ++it)
      logged.push_back((*it)[1]);
    return !logged.empty();
  })) << testing::readFile(log);
  ASSERT_EQ(logged.size(), 1u) << "one serving process";

  auto requests =
      base::parseJSON(cloud({"-H", asAdmin(), emulator_->baseURL() + "/__admin/requests"}));
  ASSERT_TRUE(requests);
  int heartBeats = 0;
  int listings = 0;
  for (const auto& r : *requests) {
    const auto path = r.value("path", std::string());
    const auto headers = r.value("headers", base::JSONValue::object());
    const auto trace = headers.value("x-tarnix-application-lifecycle-trace", std::string());
    if (path == "/downloads/test/tx-client-check.txt") {
      ++heartBeats;
      EXPECT_EQ(trace, logged.front()) << "heart beat";
    } else if (trace == logged.front()) {
      ++listings;
    }
  }
  EXPECT_GE(heartBeats, 1) << "the mount's network monitor beats at once";
  EXPECT_GE(listings, 1) << "the mount's listings carry the same id";
}

}  // namespace
}  // namespace tarnix::host

namespace tarnix::host {
namespace {

// The cloud failing part way through downloads, as a user meets it through the mount and
// through `tarnix get`/`cat`: a dropped transfer and an unavailable server are tried again
// before the reader sees anything; a server that keeps failing gives EIO, never an errno of the
// network.
class EmulatorFailingCloudTest : public EmulatorMountTest {
 protected:
  static constexpr const char* kDownloads = "^/api/v1/fs-content";

  void fail(base::JSONValue rule) {
    rule["path"] = kDownloads;
    rule["method"] = "GET";
    cloud({"-H", asAdmin(), "-H", "Content-Type: application/json", "-X", "POST", "--data",
           rule.dump(), emulator_->baseURL() + "/__admin/faults"});
  }
  void recover() {
    cloud({"-X", "DELETE", "-H", asAdmin(), emulator_->baseURL() + "/__admin/faults"});
  }

  // The whole file read through the mount, or the errno of the failure.
  std::expected<std::string, int> readThroughMount(const std::string& path) {
    const int fd = ::open((mountPoint() / path).c_str(), O_RDONLY);
    if (fd < 0) return std::unexpected(errno);
    std::string bytes;
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0) {
        const int error = errno;
        ::close(fd);
        return std::unexpected(error);
      }
      if (n == 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
  }

  struct Case {
    const char* name;
    base::JSONValue rule;
    const char* path;
  };
  // Each fault for one request, on a file read for the first time.
  static std::vector<Case> passingFaults(const std::vector<const char*>& paths) {
    return {
        {"a transfer cut short half way", {{"action", "truncate"}, {"count", 1}}, paths[0]},
        {"a connection reset half way", {{"action", "reset"}, {"count", 1}}, paths[1]},
        {"unavailable, retry after 1 s",
         {{"action", "status"}, {"status", 503}, {"retryAfter", "1"}, {"count", 1}},
         paths[2]},
    };
  }
};

TEST_F(EmulatorFailingCloudTest, AReadThroughTheMountGetsTheWholeFileDespiteAFailingCloud) {
  for (const auto& c : passingFaults({"Shared/Documents/Budget.xlsx", "Shared/Images/Beach.jpg",
                                      "Shared/Documents/Report.docx"})) {
    SCOPED_TRACE(c.name);
    forgetRequests();
    fail(c.rule);
    auto read = readThroughMount(c.path);
    ASSERT_TRUE(read) << std::strerror(read.error());
    EXPECT_TRUE(*read == seededFiles()[c.path]) << "the bytes differ";
    EXPECT_EQ(downloads(), 2) << "the failed attempt and the one that worked";
  }

  const std::string keepsFailing = "Shared/Images/Mountains.png";
  fail({{"action", "truncate"}, {"count", -1}});
  auto failed = readThroughMount(keepsFailing);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), EIO) << std::strerror(failed.error());
  recover();
  auto read = readThroughMount(keepsFailing);
  ASSERT_TRUE(read) << std::strerror(read.error());
  EXPECT_TRUE(*read == seededFiles()[keepsFailing]);
}

TEST_F(EmulatorFailingCloudTest, GetAndCatGetTheWholeFileDespiteAFailingCloud) {
  // The mount has listed the drive; the commands run with no mount.
  EXPECT_EQ(tree(), seededTree());
  auto unmounted = tarnix({"unmount", mountPoint().string()});
  ASSERT_EQ(unmounted.exitStatus, 0) << unmounted.errors;
  ASSERT_TRUE(eventually([&] { return !isFuseMounted(mountPoint()); }));

  const auto cases = passingFaults(
      {"Shared/Documents/Budget.xlsx", "Shared/Images/Beach.jpg", "Shared/Documents/Report.docx"});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.name);
    for (const bool useCat : {false, true}) {
      SCOPED_TRACE(useCat ? "cat" : "get");
      fail(c.rule);
      std::string bytes;
      if (useCat) {
        auto run = tarnix({"cat", "Demo", c.path});
        ASSERT_EQ(run.exitStatus, 0) << run.errors;
        bytes = run.output;
      } else {
        const fs::path destination = dir_.path() / ("got-" + std::to_string(i));
        auto run = tarnix({"get", "Demo", c.path, destination.string()});
        ASSERT_EQ(run.exitStatus, 0) << run.errors;
        bytes = testing::readFile(destination);
      }
      EXPECT_TRUE(bytes == seededFiles()[c.path]) << "the bytes differ";
    }
  }

  fail({{"action", "status"}, {"status", 503}, {"retryAfter", "0"}, {"count", -1}});
  auto failed = tarnix({"cat", "Demo", "Shared/Documents/Notes.txt"});
  EXPECT_NE(failed.exitStatus, 0);
  EXPECT_TRUE(failed.output.empty());
  EXPECT_NE(failed.errors.find("Shared/Documents/Notes.txt: "), std::string::npos) << failed.errors;
  EXPECT_EQ(failed.errors.find("cannot be reached"), std::string::npos) << failed.errors;
  recover();
  auto cat = tarnix({"cat", "Demo", "Shared/Documents/Notes.txt"});
  ASSERT_EQ(cat.exitStatus, 0) << cat.errors;
  EXPECT_EQ(cat.output, seededFiles()["Shared/Documents/Notes.txt"]);
}

TEST_F(EmulatorMountTest, AFileLockedByAnotherUserShowsThatUserAsItsHolder) {
  // bob locked it on the cloud; alice's account was added without her user identifier.
  const fs::path locked = mountPoint() / "Shared/Documents/Locked.docx";
  auto attribute = [&](const std::string& name) {
    std::string value(4096, '\0');
    const ssize_t n =
        ::getxattr(locked.c_str(), ("user.tarnix." + name).c_str(), value.data(), value.size());
    value.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return value;
  };
  EXPECT_TRUE(eventually([&] { return attribute("lockOwner") == "Bob Brown"; }))
      << attribute("lockOwner");
  const auto info = base::parseJSON(attribute("userInfo"));
  ASSERT_TRUE(info && info->is_object()) << attribute("userInfo");
  EXPECT_EQ((*info)["currentUserOwnsLock"], false);
  EXPECT_EQ(attribute("capabilities").find("writing"), std::string::npos)
      << attribute("capabilities");
  const auto decorations = attribute("decorations");
  EXPECT_EQ(decorations.find(".isSelfLocked"), std::string::npos) << decorations;
  EXPECT_NE(decorations.find(".isLocked"), std::string::npos) << decorations;
}

}  // namespace
}  // namespace tarnix::host

namespace tarnix::host {
namespace {

// Folders made, items renamed, moved and removed in the mount, as the cloud sees them.
class EmulatorNamespaceTest : public EmulatorMountTest {
 protected:
  // Whether the cloud has `path` (as alice sees it).
  bool cloudHas(const std::string& path) {
    std::string escaped;
    for (const char c : path) escaped += c == ' ' ? std::string("%20") : std::string(1, c);
    auto result =
        testing::runProgram({"/usr/bin/curl", "-sS", "--max-time", "20", "--cacert",
                             emulator_->caFile().string(), "-o", "/dev/null", "-w", "%{http_code}",
                             "-H", asAlice(), emulator_->baseURL() + "/api/v1/fs/" + escaped},
                            {}, {}, 30s);
    EXPECT_EQ(result.exitStatus, 0) << result.errors;
    return result.output == "200";
  }

  // The requests that change the cloud's namespace since the last forget(): "DELETE <path>" or
  // "POST <path> <action>".
  std::vector<std::string> namespaceRequests() {
    auto requests =
        base::parseJSON(cloud({"-H", asAdmin(), emulator_->baseURL() + "/__admin/requests"}));
    std::vector<std::string> out;
    if (!requests) return {"<unreadable request log>"};
    for (const auto& r : *requests) {
      const auto method = r.value("method", std::string());
      const auto path = r.value("path", std::string());
      if (!path.starts_with("/api/v1/fs/ids/")) continue;
      if (method == "DELETE") out.push_back("DELETE " + path);
      if (method == "POST") {
        auto body = base::parseJSON(r.value("body", std::string()));
        const std::string action =
            body && body->is_object() ? body->value("action", std::string()) : std::string();
        out.push_back("POST " + path + " " + action);
      }
    }
    return out;
  }
  int deletions() {
    int count = 0;
    for (const auto& r : namespaceRequests()) count += r.starts_with("DELETE ") ? 1 : 0;
    return count;
  }

  void failDeletions() {
    base::JSONValue rule = {{"path", "^/api/v1/fs/ids/"}, {"method", "DELETE"},
                            {"action", "status"},         {"status", 503},
                            {"retryAfter", "0"},          {"count", -1}};
    cloud({"-H", asAdmin(), "-H", "Content-Type: application/json", "-X", "POST", "--data",
           rule.dump(), emulator_->baseURL() + "/__admin/faults"});
  }

  // Puts `count` small files into the cloud folder `folder` with one request each (one curl).
  void upload(const std::string& folder, int count) {
    const fs::path bytes = dir_.path() / "small.txt";
    testing::writeFile(bytes, "small\n");
    std::vector<std::string> args = {"-H", asAlice(), "-X", "POST", "-o", "/dev/null"};
    for (int i = 0; i < count; ++i) {
      args.push_back("-T");
      args.push_back(bytes.string());
      args.push_back(emulator_->baseURL() + "/api/v1/fs-content/" + folder + "/file-" +
                     std::to_string(i) + ".txt");
    }
    cloud(args);
  }
};

TEST_F(EmulatorNamespaceTest, FoldersMadeRenamedMovedAndRemovedInTheMountReachTheCloud) {
  const fs::path shared = mountPoint() / "Shared";
  ASSERT_EQ(::mkdir((shared / "New").c_str(), 0755), 0) << std::strerror(errno);
  EXPECT_TRUE(cloudHas("Shared/New"));

  struct Move {
    const char* what;
    const char* from;
    const char* to;
  };
  const Move moves[] = {
      {"rename", "Shared/Documents/Notes.txt", "Shared/Documents/Minutes.txt"},
      {"move", "Shared/Images/Beach.jpg", "Shared/New/Beach.jpg"},
      {"move and rename", "Shared/Documents/Minutes.txt", "Shared/New/Old minutes.txt"},
      {"rename a folder", "Shared/New", "Shared/Archive"},
      {"move a folder", "Shared/Archive", "Private/Archive"},
  };
  for (const auto& m : moves) {
    SCOPED_TRACE(m.what);
    std::error_code ec;
    fs::rename(mountPoint() / m.from, mountPoint() / m.to, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_FALSE(cloudHas(m.from));
    EXPECT_TRUE(cloudHas(m.to));
    EXPECT_TRUE(fs::exists(mountPoint() / m.to));
    EXPECT_FALSE(fs::exists(mountPoint() / m.from));
  }
  EXPECT_EQ(testing::readFile(mountPoint() / "Private/Archive/Old minutes.txt"),
            seededFiles()["Shared/Documents/Notes.txt"]);

  // A file moved over another replaces it, as on a local disk.
  fs::rename(mountPoint() / "Shared/Documents/Budget.xlsx",
             mountPoint() / "Shared/Documents/Report.docx");
  EXPECT_FALSE(cloudHas("Shared/Documents/Budget.xlsx"));
  EXPECT_EQ(onCloud("/Shared/Documents/Report.docx"),
            seededFiles()["Shared/Documents/Budget.xlsx"]);
  EXPECT_EQ(testing::readFile(mountPoint() / "Shared/Documents/Report.docx"),
            seededFiles()["Shared/Documents/Budget.xlsx"]);

  ASSERT_EQ(::unlink((mountPoint() / "Private/Archive/Beach.jpg").c_str()), 0);
  EXPECT_FALSE(fs::exists(mountPoint() / "Private/Archive/Beach.jpg"));
  EXPECT_TRUE(eventually([&] { return !cloudHas("Private/Archive/Beach.jpg"); }));
  const auto removed =
      testing::runProgram({"/bin/rm", "-r", (mountPoint() / "Private/Archive").string()});
  EXPECT_EQ(removed.exitStatus, 0) << removed.errors;
  EXPECT_FALSE(cloudHas("Private/Archive"));
  EXPECT_FALSE(cloudHas("Private/Archive/Old minutes.txt"));
  EXPECT_FALSE(fs::exists(mountPoint() / "Private/Archive"));
}

// A file moved over another, while the listing that follows the cloud's announcement of the
// removal is slow: the announcement comes after the move, and the file now at that path stays.
TEST_F(EmulatorNamespaceTest, AFileMovedOverAnotherOutlivesTheAnnouncementOfItsRemoval) {
  EXPECT_TRUE(fs::exists(mountPoint() / "Shared/Documents/Report.docx"));
  addFault({{"path", "^/rest/public/v1/fsc/folders/"},
            {"method", "GET"},
            {"action", "delay"},
            {"delayMs", 1500},
            {"count", 3}});
  // The move reaches the cloud after the removal was announced and fetched.
  addFault({{"path", "^/api/v1/fs/ids/file/"},
            {"method", "POST"},
            {"action", "delay"},
            {"delayMs", 1000},
            {"count", 1}});
  fs::rename(mountPoint() / "Shared/Documents/Budget.xlsx",
             mountPoint() / "Shared/Documents/Report.docx");
  // The announcements of the removal and of the move, and their slow listings.
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(testing::readFile(mountPoint() / "Shared/Documents/Report.docx"),
            seededFiles()["Shared/Documents/Budget.xlsx"]);
  EXPECT_FALSE(fs::exists(mountPoint() / "Shared/Documents/Budget.xlsx"));
}

// A folder that still holds something is not removed, whether the mount knows its children or
// only the cloud has them.
TEST_F(EmulatorNamespaceTest, AFolderThatIsNotEmptyIsNotRemoved) {
  EXPECT_EQ(tree(), seededTree());
  forgetRequests();
  errno = 0;
  EXPECT_EQ(::rmdir((mountPoint() / "Shared/Images").c_str()), -1);
  EXPECT_EQ(errno, ENOTEMPTY);
  EXPECT_TRUE(namespaceRequests().empty());

  ASSERT_EQ(::mkdir((mountPoint() / "Shared/Box").c_str(), 0755), 0) << std::strerror(errno);
  EXPECT_TRUE(fs::is_empty(mountPoint() / "Shared/Box"));
  upload("Shared/Box", 1);  // only the cloud knows it
  errno = 0;
  EXPECT_EQ(::rmdir((mountPoint() / "Shared/Box").c_str()), -1);
  EXPECT_EQ(errno, ENOTEMPTY);
  EXPECT_TRUE(cloudHas("Shared/Box/file-0.txt"));
  EXPECT_TRUE(eventually([&] { return fs::exists(mountPoint() / "Shared/Box/file-0.txt"); }));
}

// A folder alice may only view: every change is refused from its capabilities, and nothing is
// sent.
TEST_F(EmulatorNamespaceTest, AReadOnlyFolderRefusesChangesBeforeSendingAnything) {
  const fs::path readOnly = mountPoint() / "Shared/Read Only";
  ASSERT_TRUE(fs::exists(readOnly / "Handbook.pdf"));
  forgetRequests();
  struct Case {
    const char* what;
    std::function<int()> call;
    int expected;
  };
  const Case cases[] = {
      {"mkdir", [&] { return ::mkdir((readOnly / "New").c_str(), 0755); }, EACCES},
      {"unlink", [&] { return ::unlink((readOnly / "Handbook.pdf").c_str()); }, EPERM},
      {"rename",
       [&] { return ::rename((readOnly / "Handbook.pdf").c_str(), (readOnly / "x.pdf").c_str()); },
       EPERM},
      {"move in",
       [&] {
         return ::rename((mountPoint() / "Shared/Documents/Notes.txt").c_str(),
                         (readOnly / "Notes.txt").c_str());
       },
       EACCES},
      {"rmdir", [&] { return ::rmdir(readOnly.c_str()); }, EPERM},
  };
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(c.call(), -1) << c.what;
    EXPECT_EQ(errno, c.expected) << c.what << ": " << std::strerror(errno);
  }
  EXPECT_EQ(namespaceRequests(), std::vector<std::string>{});
  EXPECT_TRUE(cloudHas("Shared/Read Only/Handbook.pdf"));
}

// `rm -r` of a folder of many files costs one deletion request, not one per file.
TEST_F(EmulatorNamespaceTest, RemovingAFolderOfManyFilesSendsOneDeletion) {
  ASSERT_EQ(::mkdir((mountPoint() / "Shared/Many").c_str(), 0755), 0) << std::strerror(errno);
  upload("Shared/Many", 200);
  ASSERT_TRUE(eventually([&] {
    std::error_code ec;
    return std::distance(fs::directory_iterator(mountPoint() / "Shared/Many", ec),
                         fs::directory_iterator()) == 200;
  }));
  forgetRequests();
  const auto removed =
      testing::runProgram({"/bin/rm", "-r", (mountPoint() / "Shared/Many").string()});
  EXPECT_EQ(removed.exitStatus, 0) << removed.errors;
  EXPECT_FALSE(cloudHas("Shared/Many"));
  EXPECT_FALSE(cloudHas("Shared/Many/file-7.txt"));
  EXPECT_EQ(deletions(), 1) << ::testing::PrintToString(namespaceRequests());
}

// A file removed while the cloud refuses deletions, and the mount killed before it could send
// it: the next mount sends it, and the file shows at no moment in between.
TEST_F(EmulatorNamespaceTest, ARemovalCutShortByAKilledMountIsSentByTheNextMount) {
  const std::string budget = "Shared/Documents/Budget.xlsx";
  ASSERT_TRUE(fs::exists(mountPoint() / budget));
  forgetRequests();
  failDeletions();
  ASSERT_EQ(::unlink((mountPoint() / budget).c_str()), 0) << std::strerror(errno);
  EXPECT_FALSE(fs::exists(mountPoint() / budget));
  ASSERT_TRUE(eventually([&] { return deletions() >= 1; }, 30s)) << "the mount tried";
  killTheMount();
  EXPECT_TRUE(cloudHas(budget));
  // The drive's replica keeps the removal for the next mount.
  std::vector<fs::path> replicas;
  for (const auto& entry : fs::recursive_directory_iterator(dir_.path() / "home"))
    if (entry.path().filename() == "Replica.db") replicas.push_back(entry.path());
  ASSERT_EQ(replicas.size(), 1u);
  {
    auto replica = ReplicaStore::open(replicas[0], common::Database::Mode::readOnly);
    ASSERT_TRUE(replica) << replica.error().description();
    auto journal = (*replica)->journal();
    ASSERT_TRUE(journal) << journal.error().description();
    ASSERT_EQ(journal->size(), 1u);
    EXPECT_EQ((*journal)[0].kind, JournalEntry::Kind::removeFile);
    EXPECT_EQ((*journal)[0].filename, "Budget.xlsx");
  }

  cloud({"-X", "DELETE", "-H", asAdmin(), emulator_->baseURL() + "/__admin/faults"});
  auto mounted = tarnix({"mount", "Demo", mountPoint().string()});
  ASSERT_EQ(mounted.exitStatus, 0) << mounted.errors;
  EXPECT_TRUE(eventually(
      [&] {
        EXPECT_FALSE(fs::exists(mountPoint() / budget));
        return !cloudHas(budget);
      },
      30s));
  EXPECT_TRUE(fs::exists(mountPoint() / "Shared/Documents/Notes.txt"));
}

}  // namespace
}  // namespace tarnix::host
