// Changes another person makes on the cloud reach a mounted drive by themselves: the mount
// follows the cloud's change feed, lists the folders it names and shows the result without
// anyone opening those folders again. `tarnix status` tells the feed's state.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <future>

#include "fuse/EmulatorMountFixture.hpp"

namespace tarnix::host {
namespace {

using namespace mounttest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::EmulatorProcess;

std::string joined(const std::set<std::string>& names) {
  std::string out;
  for (const auto& name : names) out += name + "; ";
  return out;
}

class LiveChangeTest : public EmulatorMountTest {
 protected:
  std::string asBob() const {
    return "Authorization: " + EmulatorProcess::authorization(EmulatorProcess::kBobToken);
  }
  // Bob's request; the answer's body.
  std::string bob(std::vector<std::string> args) {
    args.insert(args.begin(), {"-H", asBob()});
    return cloud(std::move(args));
  }
  void bobUploads(const std::string& cloudPath, const std::string& bytes) {
    const fs::path upload = dir_.path() / "upload";
    testing::writeFile(upload, bytes);
    bob({"-X", "POST", "-T", upload.string(),
         emulator_->baseURL() + "/api/v1/fs-content" + cloudPath, "-o", "/dev/null"});
  }
  std::string cloudID(const std::string& cloudPath) {
    auto answer = base::parseJSON(bob({emulator_->baseURL() + "/api/v1/fs" + cloudPath}));
    if (!answer) return {};
    if (answer->contains("folder_id")) return (*answer)["folder_id"].get<std::string>();
    return answer->value("group_id", std::string());
  }
  std::string status() { return tarnix({"status", "Demo"}).output; }
  // The names in a folder of the mount, read as a file manager keeps reading an open folder.
  std::set<std::string> names(const std::string& folder) {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(mountPoint() / folder, ec))
      out.insert(entry.path().filename().string());
    return out;
  }
  // Whether the mount listed the folder with that cloud id since the last forgetRequests().
  bool listedSince(const std::string& folderID) {
    auto requests =
        base::parseJSON(cloud({"-H", asAdmin(), emulator_->baseURL() + "/__admin/requests"}));
    if (!requests) return false;
    for (const auto& r : *requests) {
      const auto path = r.value("path", std::string());
      if (path.starts_with("/rest/public/v1/fsc/folders") && path.ends_with("/" + folderID))
        return true;
    }
    return false;
  }
  bool feedConnected() { return status().find("Change feed: connected;") != std::string::npos; }
};

TEST_F(LiveChangeTest, AnotherUsersChangesAppearInAnOpenFolderWithoutListingItAgain) {
  const auto before = names("Shared/Documents");
  ASSERT_TRUE(before.contains("Budget.xlsx"));
  ASSERT_EQ(testing::readFile(mountPoint() / "Shared/Documents/Notes.txt"),
            seededFiles()["Shared/Documents/Notes.txt"]);
  ASSERT_TRUE(eventually([&] { return feedConnected(); }, 30s)) << status();

  const std::string notes = "Meeting notes\n- changed by Bob on the cloud\n";
  bobUploads("/Shared/Documents/Agenda.txt", "new file by Bob\n");
  bobUploads("/Shared/Documents/Notes.txt", notes);
  bob({"-X", "POST", "-H", "Content-Type: application/json", "--data",
       R"({"action":"move","name":"Budget 2027.xlsx"})",
       emulator_->baseURL() + "/api/v1/fs/ids/file/" + cloudID("/Shared/Documents/Budget.xlsx")});
  bob({"-X", "DELETE",
       emulator_->baseURL() + "/api/v1/fs/ids/file/" + cloudID("/Shared/Documents/Report.docx")});

  std::set<std::string> expected = before;
  expected.insert("Agenda.txt");
  expected.erase("Budget.xlsx");
  expected.insert("Budget 2027.xlsx");
  expected.erase("Report.docx");
  EXPECT_TRUE(eventually([&] { return names("Shared/Documents") == expected; }))
      << "still " << joined(names("Shared/Documents"));
  EXPECT_EQ(testing::readFile(mountPoint() / "Shared/Documents/Agenda.txt"), "new file by Bob\n");
  // The new version is fetched afresh on the next open.
  EXPECT_TRUE(eventually(
      [&] { return testing::readFile(mountPoint() / "Shared/Documents/Notes.txt") == notes; }));
  const auto shown = status();
  EXPECT_NE(shown.find("Change feed error: none"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("; 0 events applied"), std::string::npos) << shown;
}

// A reader that opened the old version keeps reading it until it closes the file; the next
// open reads the new one.
TEST_F(LiveChangeTest, AnOpenReaderKeepsTheBytesItOpenedWhileANewVersionArrives) {
  const fs::path report = mountPoint() / "Shared/Documents/Report.docx";
  const std::string old = seededFiles()["Shared/Documents/Report.docx"];
  ASSERT_EQ(testing::readFile(report), old);
  ASSERT_TRUE(eventually([&] { return feedConnected(); }, 30s)) << status();
  const int fd = ::open(report.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string first(1000, '\0');
  ASSERT_EQ(::read(fd, first.data(), first.size()), 1000);

  const std::string fresh(6000, 'n');
  bobUploads("/Shared/Documents/Report.docx", fresh);
  EXPECT_TRUE(eventually([&] {
    struct stat st {};
    return ::stat(report.c_str(), &st) == 0 && st.st_size == 6000;
  })) << status();
  std::string rest(old.size(), '\0');
  const auto got = ::pread(fd, rest.data(), rest.size(), 1000);
  ::close(fd);
  ASSERT_GE(got, 0);
  rest.resize(static_cast<std::size_t>(got));
  EXPECT_EQ(first + rest, old);
  EXPECT_EQ(testing::readFile(report), fresh);
}

// When the cloud's history after the drive's revision is gone ("expired"), or the feed keeps
// answering what cannot be read, the changes in between are not told one by one any more:
// every folder the drive has shown is listed again, so nothing is lost.
TEST_F(LiveChangeTest, LostHistoryListsEveryShownFolderAgainAndLosesNothing) {
  struct Case {
    const char* name;
    base::JSONValue fault;
  };
  const Case cases[] = {
      {"expired", {{"path", "^/v5/get_events"}, {"action", "status"}, {"status", 410}}},
      {"undecodable", {{"path", "^/v5/get_events"}, {"action", "malformed"}, {"count", 3}}},
  };
  ASSERT_FALSE(names("Shared/Images").empty());
  ASSERT_FALSE(names("Shared/Documents").empty());
  ASSERT_TRUE(eventually([&] { return feedConnected(); }, 30s)) << status();
  const auto images = cloudID("/Shared/Images");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    forgetRequests();
    addFault(c.fault);
    const std::string name = std::string("after-") + c.name + ".txt";
    bobUploads("/Shared/Documents/" + name, "x");
    EXPECT_TRUE(eventually([&] { return names("Shared/Documents").contains(name); }, 30s))
        << status();
    // A folder no event named was listed again too.
    EXPECT_TRUE(eventually([&] { return listedSince(images); }));
    EXPECT_TRUE(eventually([&] {
      return status().find("Change feed error: none") != std::string::npos;
    })) << status();
  }
}

// The cloud closes the real-time socket: the mount polls meanwhile, connects again and brings
// in what happened while it was away.
TEST_F(LiveChangeTest, ASocketTheCloudClosesConnectsAgainAndCatchesUp) {
  ASSERT_FALSE(names("Shared/Documents").empty());
  ASSERT_TRUE(eventually([&] { return feedConnected(); }, 30s)) << status();
  auto closed = base::parseJSON(
      cloud({"-H", asAdmin(), "-H", "Content-Type: application/json", "-X", "POST", "--data",
             R"({"closeSockets":true})", emulator_->baseURL() + "/__admin/events"}));
  ASSERT_TRUE(closed && (*closed)["closed"].get<int>() >= 1);
  EXPECT_TRUE(eventually([&] { return !feedConnected(); }, 10s)) << status();
  bobUploads("/Shared/Documents/while-away.txt", "x");
  // The socket tries again after 40 s; the feed is asked every 30 s meanwhile.
  EXPECT_TRUE(eventually([&] { return names("Shared/Documents").contains("while-away.txt"); }, 60s))
      << status();
  EXPECT_TRUE(eventually([&] { return feedConnected(); }, 60s)) << status();
  bobUploads("/Shared/Documents/after-return.txt", "x");
  EXPECT_TRUE(
      eventually([&] { return names("Shared/Documents").contains("after-return.txt"); }, 15s))
      << status();
}

// Another process (here `tarnix watch`) hears of the changes the mount brings in over the event
// bus between the product's processes.
TEST_F(LiveChangeTest, AnotherProcessHearsOfTheChangesTheMountBringsIn) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
    GTEST_SKIP() << "no session bus (scripts/run-tests starts one)";
  ASSERT_FALSE(names("Shared/Images").empty());
  ASSERT_TRUE(eventually([&] { return feedConnected(); }, 30s)) << status();
  auto watching = std::async(std::launch::async, [&] {
    return tarnix({"watch", "Demo", "--count", "1", "--timeout", "30"});
  });
  // The watcher hears only what happens once it listens: changes follow until it has one.
  for (int round = 0; round < 25; ++round) {
    bobUploads("/Shared/Images/new-" + std::to_string(round) + ".txt", "x");
    if (watching.wait_for(1s) == std::future_status::ready) break;
  }
  const auto watched = watching.get();
  EXPECT_EQ(watched.exitStatus, 0) << watched.errors;
  EXPECT_EQ(watched.output, "changed: /Shared/Images\n");
}

TEST_F(LiveChangeTest, StatusTellsWhetherTheFeedIsFollowed) {
  ASSERT_TRUE(eventually([&] { return feedConnected(); }, 30s)) << status();
  const auto shown = status();
  EXPECT_NE(shown.find("Change feed error: none"), std::string::npos) << shown;
  auto unmounted = tarnix({"unmount", mountPoint().string()});
  ASSERT_EQ(unmounted.exitStatus, 0) << unmounted.errors;
  EXPECT_NE(status().find("Change feed: not followed"), std::string::npos) << status();
}

}  // namespace
}  // namespace tarnix::host
