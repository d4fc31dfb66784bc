// Downloads with ranges, thumbnails, single uploads and chunked upload sessions.
#include <filesystem>

#include "base/Hash.hpp"
#include "emulator/EmulatorFixture.hpp"

namespace tarnix::emulator::testing {
namespace {

class TransferTest : public EmulatorTest {};

std::string numbered(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

TEST_F(TransferTest, DownloadsWholeFilesRangesAndOlderVersions) {
  std::string content = numbered(1000);
  auto first = upload("/Shared/Documents/download.bin", content);
  auto second = upload("/Shared/Documents/download.bin", "second version");
  std::string byId =
      "/api/v1/fs-content-download/ids/file/" + second["group_id"].get<std::string>();

  auto whole = alice.get(byId);
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, "second version");
  EXPECT_EQ(whole.header("etag"), second["entry_id"]);

  auto old = alice.get(byId + "?entry_id=" + first["entry_id"].get<std::string>());
  EXPECT_EQ(old.status, 200);
  EXPECT_EQ(old.body, content);
  EXPECT_EQ(old.header("etag"), first["entry_id"]);

  struct Case {
    const char* range;
    long status;
    std::string body;
    const char* contentRange;
  };
  const Case cases[] = {
      {"bytes=0-9", 206, content.substr(0, 10), "bytes 0-9/1000"},
      {"bytes=990-", 206, content.substr(990), "bytes 990-999/1000"},
      {"bytes=-5", 206, content.substr(995), "bytes 995-999/1000"},
      {"bytes=995-5000", 206, content.substr(995), "bytes 995-999/1000"},
      {"bytes=1000-1001", 416, "", "bytes */1000"},
      {"bytes=5-1", 200, content, ""},      // unusable: ignored
      {"bytes=0-1,5-6", 200, content, ""},  // several ranges: ignored
      {"items=0-1", 200, content, ""},
      {"bytes=abc-def", 200, content, ""},
      {"bytes=99999999999999999999-", 200, content, ""},
  };
  for (const auto& c : cases) {
    auto r = alice.get(byId + "?entry_id=" + first["entry_id"].get<std::string>(),
                       {std::string("Range: ") + c.range});
    EXPECT_EQ(r.status, c.status) << c.range;
    if (c.status != 416) {
      EXPECT_EQ(r.body, c.body) << c.range;
    }
    EXPECT_EQ(r.header("content-range"), c.contentRange) << c.range;
  }

  auto byPath = alice.get("/api/v1/fs-content/Shared/Documents/download.bin",
                          {"X-Tarnix-Path: /shared/documents/download.bin", "Range: bytes=0-5"});
  EXPECT_EQ(byPath.status, 206);
  EXPECT_EQ(byPath.body, "second");
  EXPECT_EQ(alice.get(byId + "?entry_id=1").status, 404);
}

// The faults that stand for a failing cloud in download tests: a body cut short by a close or a
// reset half way, and an unavailable server that says when to come back; each for as many
// requests as its count says, then the real answer.
TEST_F(TransferTest, DownloadFaultsCutTheBodyOrAnswerInsteadForTheirCount) {
  const std::string content = numbered(200000);
  auto file = upload("/Shared/Documents/faults.bin", content);
  const std::string target =
      "/api/v1/fs-content-download/ids/file/" + file["group_id"].get<std::string>();
  struct Case {
    base::JSONValue rule;
    bool cut;  // the transfer fails part way
    long status;
    const char* retryAfter;
  };
  const Case cases[] = {
      {{{"action", "truncate"}}, true, 200, ""},
      {{{"action", "reset"}}, true, 200, ""},
      {{{"action", "status"}, {"status", 503}, {"retryAfter", "3"}}, false, 503, "3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule.dump());
    auto rule = c.rule;
    rule["path"] = "^/api/v1/fs-content-download/ids/file/";
    rule["count"] = 2;
    ASSERT_EQ(alice.admin("POST", "/__admin/faults", rule.dump()).status, 200);
    for (int i = 0; i < 2; ++i) {
      HttpsClient client(emulator(), EmulatorProcess::kAliceToken);
      auto failed = client.get(target);
      EXPECT_EQ(failed.curlCode != 0, c.cut);
      EXPECT_EQ(failed.status, c.status);
      EXPECT_EQ(failed.header("retry-after"), c.retryAfter);
      if (c.cut) {
        EXPECT_LT(failed.body.size(), content.size());
        EXPECT_EQ(failed.body, content.substr(0, failed.body.size()));
      }
    }
    auto whole = HttpsClient(emulator(), EmulatorProcess::kAliceToken).get(target);
    EXPECT_EQ(whole.curlCode, 0);
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, content);
  }
}

TEST_F(TransferTest, ThumbnailsAnswerWithAnImageOfTheCurrentVersion) {
  auto answer = upload("/Shared/Images/thumb.png", "not really an image");
  std::string id = answer["group_id"];
  std::string entry = answer["entry_id"];
  auto r = alice.get("/api/v1/fs-content-download/thumbnail/ids/file/" + id +
                     "?type=proportional&width=64&height=64&entryId=" + entry);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("content-type"), "image/png");
  EXPECT_EQ(r.body.substr(1, 3), "PNG");
  EXPECT_EQ(alice
                .get("/api/v1/fs-content-download/thumbnail/ids/file/" + id +
                     "?type=center&width=64&height=64&entryId=123")
                .status,
            404);
  EXPECT_EQ(alice
                .get("/opendocument.do?entryId=" + entry +
                     "&type=center&w=32&h=32&thumbNail=true&preview=false")
                .status,
            200);
}

TEST_F(TransferTest, ThumbnailsOnlyOfImagesAndDocumentsOfBoundedSize) {
  struct Case {
    const char* name;
    std::size_t size;
    long status;
    const char* message;
  };
  const std::size_t limit = 4 * 1024 * 1024;
  const Case cases[] = {
      {"small.JPEG", 10, 200, nullptr},
      {"at-limit.pdf", limit, 200, nullptr},
      {"over-limit.png", limit + 1, 413, "Source file is too big to generate a thumbnail"},
      {"notes.txt", 10, 415, "Thumbnails are not available for this file type"},
      {"png", 10, 415, "Thumbnails are not available for this file type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto answer = upload(std::string("/Shared/Images/") + c.name, numbered(c.size));
    const std::string path = "/api/v1/fs-content-download/thumbnail/ids/file/" +
                             answer["group_id"].get<std::string>() +
                             "?type=center&width=64&height=64";
    auto r = alice.get(path);
    EXPECT_EQ(r.status, c.status);
    auto generated = alice.get("/opendocument.do?entryId=" + answer["entry_id"].get<std::string>() +
                               "&type=center&w=64&h=64&thumbNail=true&preview=false");
    EXPECT_EQ(generated.status, c.status);
    if (c.message) {
      auto body = base::parseJSON(r.body);
      ASSERT_TRUE(body.has_value()) << r.body;
      EXPECT_EQ((*body)["message"], c.message);
    }
  }
}

TEST_F(TransferTest, SingleUploadChecksChecksumNamesAndStaleVersions) {
  std::string content = "checked content";
  auto ok = alice.send("POST", "/api/v1/fs-content/Shared/Documents/single.txt",
                       {"X-Sha512-Checksum: " + base::sha512Hex(content),
                        "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT"},
                       content);
  ASSERT_EQ(ok.status, 200) << ok.body;
  auto j = ok.json();
  EXPECT_EQ(j["path"], "/Shared/Documents/single.txt");
  EXPECT_EQ(j["checksum"], base::sha512Hex(content));
  EXPECT_FALSE(j.contains("conflict_resolution_path"));
  auto listed = alice.get("/rest/public/v1/fsc/folders?path=%2FShared%2FDocuments").json();
  for (const auto& f : listed["files"]) {
    if (f["name"] == "single.txt") {
      EXPECT_EQ(f["lastModified"], 784111777000);
    }
  }

  auto bad = alice.send("POST", "/api/v1/fs-content/Shared/Documents/bad.txt",
                        {"X-Sha512-Checksum: " + base::sha512Hex("other")}, content);
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(alice.get("/api/v1/fs/Shared/Documents/bad.txt").status, 404);

  // Based on the current version: a new version. Based on an older one: kept beside it.
  auto next = upload("/Shared/Documents/single.txt", "v2",
                     {"X-Tarnix-Previous-EntryId: " + j["entry_id"].get<std::string>()});
  EXPECT_EQ(next["group_id"], j["group_id"]);
  auto stale = alice.send("POST", "/api/v1/fs-content/Shared/Documents/single.txt",
                          {"X-Tarnix-Previous-EntryId: " + j["entry_id"].get<std::string>()}, "v3");
  ASSERT_EQ(stale.status, 200);
  std::string conflict = stale.json()["conflict_resolution_path"];
  EXPECT_EQ(conflict, "/Shared/Documents/single (conflict).txt");
  EXPECT_EQ(stale.header("x-conflict-resolution-path"), conflict);
  EXPECT_NE(stale.json()["group_id"], j["group_id"]);
  EXPECT_EQ(alice.get("/api/v1/fs-content/Shared/Documents/single.txt").body, "v2");
}

TEST_F(TransferTest, UploadsAreRefusedWithTheMessagesClientsRecognise) {
  struct Case {
    std::string path;
    long status;
    std::string message;
  };
  const Case cases[] = {
      {"/Shared/direct.txt", 400, "Files cannot be saved directly to /Shared"},
      {"/rooted.txt", 400, "Can only add files in allowed roots."},
      {"/Shared/Documents/~$temp.docx", 400, "Temporary files are not supported"},
      {"/Shared/Documents/trailing.", 400,
       "File names cannot contain leading or trailing spaces, trailing periods, control "
       "characters, or any of the following special characters: * ? / \\ : < > \" |"},
      {"/Shared/Documents/" + std::string(246, 'n'), 400,
       "File name cannot be greater than 245 bytes"},
      {"/Shared/Documents/emoji-%F0%9F%98%80.txt", 400,
       "Path cannot contain multibyte unicode characters"},
      {"/Shared/No%20Such%20Folder/x.txt", 404, "Path not found"},
      {"/Shared/Read%20Only/new.txt", 403, "Permission denied"},
  };
  for (const auto& c : cases) {
    auto r = alice.send("POST", "/api/v1/fs-content" + c.path, {}, "x");
    EXPECT_EQ(r.status, c.status) << c.path;
    EXPECT_EQ(r.json()["message"], c.message) << c.path;
  }
  // 245 bytes is still a valid name.
  upload("/Shared/Documents/" + std::string(245, 'n'), "x");
}

/// Sends chunk `n` of `content` for a chunk size `c`.
HttpResult sendChunk(HttpsClient& client, const std::string& path, const std::string& content,
                     std::size_t c, int n, int total, const std::string& uploadId) {
  std::string bytes = content.substr((n - 1) * c, c);
  std::vector<std::string> headers;
  if (!uploadId.empty()) headers.push_back("X-Tarnix-Upload-Id: " + uploadId);
  headers.push_back(std::string("X-Tarnix-Last-Chunk: ") + (n == total ? "true" : "false"));
  headers.push_back("X-Tarnix-Chunk-Num: " + std::to_string(n));
  headers.push_back("X-Tarnix-Chunk-Sha512-Checksum: " + base::sha512Hex(bytes));
  headers.push_back("X-Tarnix-Original-File-Plain-Size: " + std::to_string(content.size()));
  headers.push_back("X-Tarnix-Chunked: true");
  headers.push_back("Content-Type: application/octet-stream");
  return client.send("POST", "/api/v1/fs-content-chunked" + path, headers, bytes);
}

TEST_F(TransferTest, ChunkedUploadResumesAfterMissingChunksAndEndsWithTheFourPieceChecksum) {
  const std::size_t c = 1000;
  std::string content = numbered(2 * c + 1);  // three chunks, the last of one byte
  const std::string path = "/Shared/Documents/chunked.bin";
  auto one = sendChunk(alice, path, content, c, 1, 3, "");
  ASSERT_EQ(one.status, 200) << one.body;
  std::string uploadId = one.header("x-tarnix-upload-id");
  ASSERT_FALSE(uploadId.empty());
  EXPECT_EQ(one.header("x-tarnix-chunk-sha512-checksum"), base::sha512Hex(content.substr(0, c)));

  // Chunk 2 never arrived: the last chunk is answered with the missing numbers.
  auto early = sendChunk(alice, path, content, c, 3, 3, uploadId);
  EXPECT_EQ(early.status, 400);
  EXPECT_EQ(early.json()["message"], "Chunks missing: 2");
  EXPECT_EQ(alice.get("/api/v1/fs" + path).status, 404);

  ASSERT_EQ(sendChunk(alice, path, content, c, 2, 3, uploadId).status, 200);
  auto last = sendChunk(alice, path, content, c, 3, 3, uploadId);
  ASSERT_EQ(last.status, 200) << last.body;
  std::string joined;
  for (int n = 1; n <= 3; ++n) joined += base::sha512Hex(content.substr((n - 1) * c, c));
  EXPECT_EQ(last.header("x-sha512-checksum"),
            base::sha512Hex(content) + "-3-1000-" + base::sha512Hex(joined));
  EXPECT_EQ(last.json()["checksum"], base::sha512Hex(content));
  EXPECT_EQ(alice.get("/api/v1/fs-content" + path).body, content);
  // The session is over.
  EXPECT_EQ(sendChunk(alice, path, content, c, 2, 3, uploadId).status, 400);
}

// Bodies of several MiB (past the in-memory limit) are spooled to disk; a client that sends
// "Expect: 100-continue" gets the interim answer and then sends its body.
TEST_F(TransferTest, SeveralMebibyteBodiesArriveWithAndWithoutExpect) {
  const std::string content = numbered(5 * 1024 * 1024 + 7);
  const std::string checksum = "X-Sha512-Checksum: " + base::sha512Hex(content);
  struct Case {
    const char* name;
    std::vector<std::string> headers;
    std::vector<std::string> statusLines;
  };
  const Case cases[] = {
      {"without Expect", {checksum}, {"HTTP/1.1 200 OK"}},
      {"with Expect",
       {checksum, "Expect: 100-continue"},
       {"HTTP/1.1 100 Continue", "HTTP/1.1 200 OK"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = "/Shared/Documents/large-" + std::to_string(++n) + ".bin";
    auto r = alice.send("POST", "/api/v1/fs-content" + path, c.headers, content);
    ASSERT_EQ(r.status, 200) << c.name << ": " << r.body.substr(0, 200);
    EXPECT_EQ(r.statusLines, c.statusLines) << c.name;
    EXPECT_EQ(r.json()["checksum"], base::sha512Hex(content)) << c.name;
    auto back = alice.get("/api/v1/fs-content" + path);
    EXPECT_TRUE(back.body == content) << c.name << ": " << back.body.size() << " bytes back";
  }

  // One chunk of the same size, with Expect, ends a chunked session.
  const std::string path = "/Shared/Documents/large-chunk.bin";
  auto chunk =
      alice.send("POST", "/api/v1/fs-content-chunked" + path,
                 {"Expect: 100-continue", "X-Tarnix-Last-Chunk: true", "X-Tarnix-Chunk-Num: 1",
                  "X-Tarnix-Chunk-Sha512-Checksum: " + base::sha512Hex(content),
                  "X-Tarnix-Original-File-Plain-Size: " + std::to_string(content.size())},
                 content);
  ASSERT_EQ(chunk.status, 200) << chunk.body.substr(0, 200);
  EXPECT_EQ(chunk.statusLines.front(), "HTTP/1.1 100 Continue");
  EXPECT_TRUE(alice.get("/api/v1/fs-content" + path).body == content);
  // Spooled bodies do not stay behind.
  EXPECT_TRUE(std::filesystem::is_empty(emulator().dataDir() / "data" / "tmp"));
}

TEST_F(TransferTest, ChunkedUploadRefusesBadChunksAndConcurrentSessions) {
  const std::string path = "/Shared/Documents/contended.bin";
  std::string content = numbered(3000);
  auto mine = sendChunk(alice, path, content, 1000, 1, 3, "");
  ASSERT_EQ(mine.status, 200);
  auto theirs = sendChunk(bob, path, content, 1000, 1, 3, "");
  EXPECT_EQ(theirs.status, 400);
  std::string message = theirs.json()["message"];
  EXPECT_NE(message.find("CHUNK"), std::string::npos);
  EXPECT_NE(message.find("already in progress"), std::string::npos);

  auto wrong = alice.send(
      "POST", "/api/v1/fs-content-chunked" + path,
      {"X-Tarnix-Upload-Id: " + mine.header("x-tarnix-upload-id"), "X-Tarnix-Chunk-Num: 2",
       "X-Tarnix-Chunk-Sha512-Checksum: 00", "X-Tarnix-Original-File-Plain-Size: 3000"},
      content.substr(1000, 1000));
  EXPECT_EQ(wrong.status, 400);
  auto unknown = sendChunk(alice, path, content, 1000, 2, 3, "no-such-session");
  EXPECT_EQ(unknown.status, 400);
  auto noNumber =
      alice.send("POST", "/api/v1/fs-content-chunked" + path,
                 {"X-Tarnix-Chunk-Num: -1", "X-Tarnix-Original-File-Plain-Size: 3"}, "abc");
  EXPECT_EQ(noNumber.status, 400);
}

// Fault rules for upload tests: one that lets the first matches through, one limited to a
// header value, and a lost answer whose request still takes effect.
TEST_F(TransferTest, UploadFaultsSkipMatchHeadersOrDropTheAnswerAfterCommitting) {
  const std::string target = "/api/v1/fs-content/Shared/Documents/upload-faults.txt";
  ASSERT_EQ(alice
                .admin("POST", "/__admin/faults",
                       base::JSONValue{{"path", "^/api/v1/fs-content/"},
                                       {"method", "POST"},
                                       {"skip", 1},
                                       {"status", 500}}
                           .dump())
                .status,
            200);
  EXPECT_EQ(alice.send("POST", target, {}, "one").status, 200) << "the first match goes through";
  EXPECT_EQ(alice.send("POST", target, {}, "two").status, 500);
  EXPECT_EQ(alice.send("POST", target, {}, "three").status, 200) << "count 1 is used up";

  ASSERT_EQ(alice
                .admin("POST", "/__admin/faults",
                       base::JSONValue{{"path", "^/api/v1/fs-content/"},
                                       {"matchHeaders", {{"x-marker", "yes"}}},
                                       {"status", 418}}
                           .dump())
                .status,
            200);
  EXPECT_EQ(alice.send("POST", target, {"X-Marker: no"}, "four").status, 200);
  EXPECT_EQ(alice.send("POST", target, {"X-Marker: yes"}, "five").status, 418);

  ASSERT_EQ(
      alice
          .admin("POST", "/__admin/faults",
                 base::JSONValue{
                     {"path", "^/api/v1/fs-content/"}, {"method", "POST"}, {"action", "commitDrop"}}
                     .dump())
          .status,
      200);
  HttpsClient client(emulator(), tarnix::testing::EmulatorProcess::kAliceToken);
  auto lost = client.send("POST", target, {}, "six");
  EXPECT_NE(lost.curlCode, 0) << "no answer arrives";
  EXPECT_EQ(alice.get(target).body, "six") << "yet the upload took effect";
}

TEST_F(TransferTest, UploadSwitchesRejectBySizeExtensionAndQuota) {
  struct Case {
    base::JSONValue switches;
    std::string path;
    std::size_t size;
    long status;
  };
  const Case cases[] = {
      {{{"maxFileSize", 10}}, "/Shared/Documents/big.txt", 11, 413},
      {{{"maxFileSize", 10}}, "/Shared/Documents/small.txt", 10, 200},
      {{{"excludedExtensions", {".EXE"}}}, "/Shared/Documents/tool.exe", 3, 400},
      {{{"quotaBytes", 1}}, "/Shared/Documents/full.txt", 3, 507},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.switches.dump());
    ASSERT_EQ(alice.admin("DELETE", "/__admin/uploads").status, 200);
    ASSERT_EQ(alice.admin("POST", "/__admin/uploads", c.switches.dump()).status, 200);
    EXPECT_EQ(alice.send("POST", "/api/v1/fs-content" + c.path, {}, numbered(c.size)).status,
              c.status);
    auto chunk = alice.send(
        "POST", "/api/v1/fs-content-chunked" + c.path,
        {"X-Tarnix-Chunk-Num: 1", "X-Tarnix-Original-File-Plain-Size: " + std::to_string(c.size)},
        numbered(c.size));
    EXPECT_EQ(chunk.status, c.status) << "chunked uploads are refused alike";
  }
  ASSERT_EQ(alice.admin("DELETE", "/__admin/uploads").status, 200);
  EXPECT_EQ(alice.admin("POST", "/__admin/uploads", R"({"maxFileSize": -1})").status, 400);
}

}  // namespace
}  // namespace tarnix::emulator::testing
