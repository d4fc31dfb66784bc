// Files written in a mounted drive reach the cloud: new files, new contents of existing ones, an
// editor's save over a file, and what stays local (temporary files, contents the cloud refuses).
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>

#include "base/Hash.hpp"
#include "fuse/EmulatorMountFixture.hpp"

namespace tarnix::host {
namespace {

using namespace mounttest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::EmulatorProcess;

class MountWriteTest : public EmulatorMountTest {
 protected:
  std::optional<std::string> xattr(const fs::path& path, const std::string& name) {
    std::string value(4096, '\0');
    const auto size =
        ::getxattr(path.c_str(), ("user.tarnix." + name).c_str(), value.data(), value.size());
    if (size < 0) return std::nullopt;
    value.resize(static_cast<std::size_t>(size));
    return value;
  }
  void write(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    ASSERT_TRUE(out.good()) << path;
  }
  static std::string joinedNames(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += n + "; ";
    return out;
  }
  std::vector<std::string> cloudFileNames(const std::string& folder) {
    std::vector<std::string> names;
    auto listing =
        base::parseJSON(cloud({"-H", asAlice(), "-G", "--data-urlencode", "path=" + folder,
                               emulator_->baseURL() + "/rest/public/v1/fsc/folders"}));
    if (!listing || !listing->contains("files")) return names;
    for (const auto& f : (*listing)["files"]) names.push_back(f.value("name", std::string()));
    return names;
  }
  std::string asBob() const {
    return "Authorization: " + EmulatorProcess::authorization(EmulatorProcess::kBobToken);
  }
  bool uploadSettled(const fs::path& path) { return !xattr(path, "uploadPending").has_value(); }

  // The chunk numbers the emulator received, in order, since the last forgetRequests().
  std::vector<int> chunksSent() {
    std::vector<int> chunks;
    auto requests =
        base::parseJSON(cloud({"-H", asAdmin(), emulator_->baseURL() + "/__admin/requests"}));
    if (!requests) return chunks;
    for (const auto& r : *requests) {
      if (r.value("method", std::string()) != "POST" ||
          !r.value("path", std::string()).starts_with("/api/v1/fs-content-chunked/"))
        continue;
      chunks.push_back(std::stoi(r["headers"].value("x-tarnix-chunk-num", std::string("0"))));
    }
    return chunks;
  }
  // The SHA-512 of what the cloud holds at `cloudPath` for alice, none when it has no such file.
  std::optional<std::string> cloudDigest(const std::string& cloudPath) {
    const fs::path downloaded = dir_.path() / "downloaded";
    auto result = testing::runProgram(
        {"/usr/bin/curl", "-sS", "--fail", "--max-time", "120", "--cacert",
         emulator_->caFile().string(), "-H", asAlice(), "-o", downloaded.string(),
         emulator_->baseURL() + "/api/v1/fs-content" + encoded(cloudPath)},
        {}, {}, 150s);
    if (result.exitStatus != 0) return std::nullopt;
    auto digest = base::fileDigestHex(downloaded, base::HashAlgorithm::sha512);
    fs::remove(downloaded);
    if (!digest) return std::nullopt;
    return *digest;
  }
};

TEST_F(MountWriteTest, ANewFileReachesTheCloudAndReadsBackAtOnce) {
  const fs::path file = mountPoint() / "Shared/Documents/Minutes.txt";
  const std::string bytes = "minutes of the meeting\n";
  write(file, bytes);
  // Readers see the new bytes at once, before the cloud has them.
  EXPECT_EQ(testing::readFile(file), bytes);
  EXPECT_EQ(fs::file_size(file), bytes.size());
  EXPECT_TRUE(eventually([&] { return onCloud("/Shared/Documents/Minutes.txt") == bytes; }, 30s));
  EXPECT_TRUE(eventually([&] { return uploadSettled(file); }, 10s));
  EXPECT_NE(xattr(file, "identifier").value_or("local-"), "");
  EXPECT_FALSE(xattr(file, "identifier").value_or("local-").starts_with("local-"));
  EXPECT_EQ(testing::readFile(file), bytes);
}

// Writing an existing file, whole or in part, makes a new version of it on the cloud.
TEST_F(MountWriteTest, EditsOfAnExistingFileBecomeItsNewVersion) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> edit;
    std::string expected;
  };
  const std::string notes = seededFiles()["Shared/Documents/Notes.txt"];
  const Case cases[] = {
      {"rewritten", [&](const fs::path& p) { write(p, "all new\n"); }, "all new\n"},
      {"appended",
       [&](const fs::path& p) {
         std::ofstream out(p, std::ios::app);
         out << "one more line\n";
       },
       "all new\none more line\n"},
      {"truncated", [](const fs::path& p) { fs::resize_file(p, 3); }, "all"},
  };
  const fs::path file = mountPoint() / "Shared/Documents/Notes.txt";
  ASSERT_EQ(testing::readFile(file), notes);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.edit(file);
    EXPECT_EQ(testing::readFile(file), c.expected);
    EXPECT_TRUE(
        eventually([&] { return onCloud("/Shared/Documents/Notes.txt") == c.expected; }, 30s))
        << onCloud("/Shared/Documents/Notes.txt").value_or("(none)");
    EXPECT_TRUE(eventually([&] { return uploadSettled(file); }, 10s));
  }
}

// A file synced while it stays open reaches the cloud then; its edit ends when it is closed,
// even though the cloud's answer came before the close.
TEST_F(MountWriteTest, AFileSentWhileOpenSettlesWhenClosed) {
  const fs::path file = mountPoint() / "Shared/Documents/Notes.txt";
  const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const std::string bytes = "synced, still open\n";
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::fsync(fd), 0) << std::strerror(errno);
  EXPECT_TRUE(eventually([&] { return onCloud("/Shared/Documents/Notes.txt") == bytes; }, 30s));
  ::close(fd);
  EXPECT_TRUE(eventually([&] { return uploadSettled(file); }, 10s));
  EXPECT_EQ(testing::readFile(file), bytes);
  EXPECT_EQ(xattr(file, "downloaded"), "1");
}

// An editor writes a temporary file and renames it over the document: one new version of the
// document; the temporary file never reaches the cloud.
TEST_F(MountWriteTest, AnEditorsSaveOverAFileIsANewVersionOfIt) {
  const fs::path file = mountPoint() / "Shared/Documents/Notes.txt";
  const fs::path temporary = mountPoint() / "Shared/Documents/Notes.txt.tmp";
  ASSERT_TRUE(fs::exists(file));
  const auto identifier = xattr(file, "identifier");
  write(temporary, "saved by an editor\n");
  fs::rename(temporary, file);
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(testing::readFile(file), "saved by an editor\n");
  EXPECT_TRUE(eventually(
      [&] { return onCloud("/Shared/Documents/Notes.txt") == "saved by an editor\n"; }, 30s));
  EXPECT_TRUE(eventually([&] { return uploadSettled(file); }, 10s));
  EXPECT_EQ(xattr(file, "identifier"), identifier);
  EXPECT_FALSE(onCloud("/Shared/Documents/Notes.txt.tmp"));
}

// Files the unwanted-item rules call temporary (office lock files, editor swap files) are
// shown in the mount and never uploaded; a file renamed and removed before its upload reaches
// the cloud under its last name, or not at all.
TEST_F(MountWriteTest, TemporaryFilesStayLocal) {
  const fs::path folder = mountPoint() / "Shared/Documents";
  for (const char* name : {"~$Report.docx", ".Notes.txt.swp", "scratch.tmp"}) {
    SCOPED_TRACE(name);
    write(folder / name, "local only");
    EXPECT_EQ(testing::readFile(folder / name), "local only");
  }
  write(folder / "draft.txt", "draft");
  fs::rename(folder / "draft.txt", folder / "final.txt");
  write(folder / "gone.txt", "gone");
  fs::remove(folder / "gone.txt");
  EXPECT_TRUE(eventually([&] { return onCloud("/Shared/Documents/final.txt") == "draft"; }, 30s));
  for (const char* name :
       {"~$Report.docx", ".Notes.txt.swp", "scratch.tmp", "draft.txt", "gone.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(onCloud(std::string("/Shared/Documents/") + name));
  }
  EXPECT_TRUE(fs::exists(folder / "~$Report.docx"));
}

// Another user changed the document on the cloud while it was edited here: both versions are
// kept, the other user's under the document's name.
TEST_F(MountWriteTest, AnEditBasedOnAnOlderVersionKeepsTheNewerOneToo) {
  const fs::path file = mountPoint() / "Shared/Documents/Notes.txt";
  ASSERT_FALSE(testing::readFile(file).empty());
  // The cloud refuses the lock that holding the file open asks for (it would keep bob out).
  addFault({{"path", "^/api/v1/fs/ids/file/"},
            {"method", "POST"},
            {"action", "status"},
            {"status", 503}});
  const int fd = ::open(file.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const fs::path upload = dir_.path() / "bob.txt";
  write(upload, "bob's version\n");
  cloud({"-H", asBob(), "-X", "POST", "-T", upload.string(),
         emulator_->baseURL() + "/api/v1/fs-content/Shared/Documents/Notes.txt", "-o",
         "/dev/null"});
  const std::string mine = "alice's version\n";
  ASSERT_EQ(::pwrite(fd, mine.data(), mine.size(), 0), static_cast<ssize_t>(mine.size()));
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(mine.size())), 0);
  ::close(fd);
  // Bob's version stays under the name; alice's is kept beside it.
  std::string copy;
  EXPECT_TRUE(eventually(
      [&] {
        for (const auto& name : cloudFileNames("/Shared/Documents"))
          if (name != "Notes.txt" && name.starts_with("Notes")) copy = name;
        return !copy.empty();
      },
      30s))
      << joinedNames(cloudFileNames("/Shared/Documents"));
  EXPECT_EQ(onCloud("/Shared/Documents/Notes.txt"), "bob's version\n");
  EXPECT_EQ(onCloud("/Shared/Documents/" + copy), mine);
  EXPECT_TRUE(eventually([&] { return uploadSettled(file); }, 10s));
}

// Uploads fail for a while (a server fault) and the drive is unmounted meanwhile: the next
// mount sends what was written, once.
TEST_F(MountWriteTest, WhatWasWrittenReachesTheCloudAfterFailuresAndARemount) {
  const auto admin = [&](const std::string& method, const std::string& body) {
    std::vector<std::string> args = {"-H", asAdmin(), "-X", method};
    if (!body.empty())
      args.insert(args.end(), {"-H", "Content-Type: application/json", "--data", body});
    args.push_back(emulator_->baseURL() + "/__admin/faults");
    cloud(args);
  };
  admin("POST", R"({"path": "^/api/v1/fs-content", "method": "POST", "status": 503, "count": -1})");
  const fs::path file = mountPoint() / "Shared/Documents/Offline.txt";
  write(file, "written while the cloud failed\n");
  EXPECT_TRUE(eventually(
      [&] {
        return tarnix({"status", "Demo"}).output.find("/Shared/Documents/Offline.txt: waiting") !=
               std::string::npos;
      },
      10s))
      << tarnix({"status", "Demo"}).output;
  auto unmounted = tarnix({"unmount", mountPoint().string()});
  ASSERT_EQ(unmounted.exitStatus, 0) << unmounted.errors;
  EXPECT_FALSE(onCloud("/Shared/Documents/Offline.txt"));
  admin("DELETE", "");

  auto mounted = tarnix({"mount", "Demo", mountPoint().string()});
  ASSERT_EQ(mounted.exitStatus, 0) << mounted.errors;
  EXPECT_EQ(testing::readFile(file), "written while the cloud failed\n");
  EXPECT_TRUE(eventually(
      [&] {
        return onCloud("/Shared/Documents/Offline.txt") == "written while the cloud failed\n";
      },
      30s));
  EXPECT_TRUE(eventually([&] { return uploadSettled(file); }, 10s));
  auto names = cloudFileNames("/Shared/Documents");
  EXPECT_EQ(std::count(names.begin(), names.end(), "Offline.txt"), 1) << joinedNames(names);
}

// `tarnix put` while the drive is mounted goes through the mount and returns once the cloud has
// the file; a refusal is the command's failure, with the cloud's reason.
TEST_F(MountWriteTest, PutThroughTheMountEndsWhenTheCloudHasTheFile) {
  const fs::path local = dir_.path() / "local.txt";
  write(local, "put through the mount\n");
  auto put = tarnix({"put", "Demo", local.string(), "/Shared/Documents"});
  EXPECT_EQ(put.exitStatus, 0) << put.errors;
  EXPECT_EQ(onCloud("/Shared/Documents/local.txt"), "put through the mount\n");
  EXPECT_EQ(testing::readFile(mountPoint() / "Shared/Documents/local.txt"),
            "put through the mount\n");

  cloud({"-H", asAdmin(), "-H", "Content-Type: application/json", "-X", "POST", "--data",
         R"({"maxFileSize": 10})", emulator_->baseURL() + "/__admin/uploads"});
  auto refused = tarnix({"put", "Demo", local.string(), "/Shared/Documents/big.txt"});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.errors.find("/Shared/Documents/big.txt: the cloud refused it"),
            std::string::npos)
      << refused.errors;
}

// The cloud refuses the contents (here: too large): the file stays in the mount, readable,
// with the reason shown.
TEST_F(MountWriteTest, RefusedContentsStayWithTheirReason) {
  cloud({"-H", asAdmin(), "-H", "Content-Type: application/json", "-X", "POST", "--data",
         R"({"maxFileSize": 100})", emulator_->baseURL() + "/__admin/uploads"});
  const fs::path file = mountPoint() / "Shared/Documents/Large.bin";
  const std::string bytes(1000, 'x');
  write(file, bytes);
  EXPECT_TRUE(eventually([&] { return xattr(file, "uploadError").has_value(); }, 30s));
  EXPECT_EQ(testing::readFile(file), bytes);
  EXPECT_FALSE(onCloud("/Shared/Documents/Large.bin"));
  const auto status = tarnix({"status", "Demo"}).output;
  EXPECT_NE(status.find("Large.bin"), std::string::npos) << status;
}

// A new file removed in the mount while its first upload is under way stays removed: the cloud
// does not keep it and the mount does not show it again.
TEST_F(MountWriteTest, ANewFileRemovedWhileItIsSentStaysRemoved) {
  addFault({{"path", "^/api/v1/fs-content/"},
            {"method", "POST"},
            {"action", "delay"},
            {"delayMs", 2000},
            {"count", 1}});
  forgetRequests();
  const fs::path file = mountPoint() / "Shared/Documents/Short-lived.txt";
  write(file, "soon gone\n");
  const auto seen = [&](const std::string& method, const std::string& prefix) {
    auto requests =
        base::parseJSON(cloud({"-H", asAdmin(), emulator_->baseURL() + "/__admin/requests"}));
    return requests && std::ranges::any_of(*requests, [&](const base::JSONValue& r) {
             return r.value("method", std::string()) == method &&
                    r.value("path", std::string()).starts_with(prefix);
           });
  };
  ASSERT_TRUE(eventually([&] { return seen("POST", "/api/v1/fs-content/"); }, 20s));
  ASSERT_EQ(::unlink(file.c_str()), 0) << std::strerror(errno);
  EXPECT_TRUE(eventually([&] { return seen("DELETE", "/api/v1/fs/ids/file/"); }, 30s));
  EXPECT_FALSE(onCloud("/Shared/Documents/Short-lived.txt"));
  EXPECT_FALSE(fs::exists(file));
  auto names = cloudFileNames("/Shared/Documents");
  EXPECT_EQ(std::ranges::count(names, "Short-lived.txt"), 0) << joinedNames(names);
}

// The mount is killed in the middle of a chunked upload (the cloud keeps failing chunk 3; the
// mount shows how far the upload got meanwhile). The next mount goes on from the first chunk the
// cloud did not acknowledge and the cloud ends with exactly the local bytes; when the file was
// written again before the kill, the cloud ends with the newer bytes and never with a mix of both.
TEST_F(MountWriteTest, AChunkedUploadCutByAKillGoesOnAfterTheNextMount) {
  constexpr std::size_t kMiB = 1 << 20;
  constexpr std::size_t kSize = 200 * kMiB;  // four chunks of the default 50 MiB
  const auto contents = [&](std::uint32_t seed) {
    std::string bytes(kSize, '\0');
    std::uint32_t x = seed;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
      x = x * 1664525u + 1013904223u;
      std::memcpy(bytes.data() + i, &x, 4);
    }
    return bytes;
  };
  struct Case {
    const char* what;
    bool writtenAgainBeforeTheKill;
  };
  for (const Case c : {Case{"the same file", false}, Case{"a file written again", true}}) {
    SCOPED_TRACE(c.what);
    const std::string name = c.writtenAgainBeforeTheKill ? "Rewritten.bin" : "Large.bin";
    const fs::path file = mountPoint() / "Shared/Documents" / name;
    clearFaults();
    addFault({{"path", "^/api/v1/fs-content-chunked/"},
              {"method", "POST"},
              {"matchHeaders", {{"X-Tarnix-Chunk-Num", "3"}}},
              {"action", "status"},
              {"status", 503},
              {"retryAfter", "0"},
              {"delayMs", 1000},
              {"count", -1}});
    forgetRequests();
    std::string bytes = contents(c.writtenAgainBeforeTheKill ? 2 : 1);
    write(file, bytes);
    ASSERT_TRUE(eventually(
        [&] {
          auto sent = chunksSent();
          return std::ranges::find(sent, 3) != sent.end();
        },
        120s))
        << "chunk 3 was never tried";
    EXPECT_EQ(std::ranges::count(chunksSent(), 1), 1);
    // While chunk 3 is under way, the mount tells how far the upload is.
    const auto halfWay = std::to_string(kSize / 2) + "/" + std::to_string(kSize);
    EXPECT_TRUE(eventually([&] { return xattr(file, "uploadProgress") == halfWay; }, 30s))
        << xattr(file, "uploadProgress").value_or("(none)");
    if (c.writtenAgainBeforeTheKill) {
      bytes = contents(3);
      const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC);
      ASSERT_GE(fd, 0) << std::strerror(errno);
      ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      ASSERT_EQ(::fsync(fd), 0) << std::strerror(errno);
      ::close(fd);
    }
    killTheMount();
    clearFaults();
    forgetRequests();

    auto mounted = tarnix({"mount", "Demo", mountPoint().string()});
    ASSERT_EQ(mounted.exitStatus, 0) << mounted.errors;
    const std::string expected = base::sha512Hex(bytes);
    EXPECT_TRUE(eventually([&] { return uploadSettled(file); }, 180s));
    EXPECT_EQ(cloudDigest("/Shared/Documents/" + name), expected);
    const auto sent = chunksSent();
    if (!c.writtenAgainBeforeTheKill) {
      EXPECT_EQ(sent, (std::vector<int>{3, 4})) << "chunks 1 and 2 were acknowledged";
    } else {
      EXPECT_EQ(std::ranges::count(sent, 4), 1);
    }
    auto names = cloudFileNames("/Shared/Documents");
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << joinedNames(names);
  }
}

}  // namespace
}  // namespace tarnix::host
