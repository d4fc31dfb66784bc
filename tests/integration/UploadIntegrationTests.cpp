// Uploads against the cloud emulator over TLS: single and chunked uploads, resumption after an
// interrupted chunk, a file changed between attempts, a lost final answer, conflicts with
// another user's version, and rejections by the local rules and by the server.

#include <fstream>
#include <mutex>

#include "base/Clock.hpp"
#include "base/Hash.hpp"
#include "base/Uuid.hpp"
#include "cloudfs/URLComponents.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/requests/UploadRequests.hpp"
#include "cloudfs/responses/ListingResponse.hpp"
#include "cloudfs/responses/MetadataResponses.hpp"
#include "common/DriveDatabase.hpp"
#include "common/NewFileFailedUploadStorage.hpp"
#include "fileprovider/upload/SyncCloudUploads.hpp"
#include "integration/CloudClientFixture.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::testing;
using tarnix::base::HTTPMethod;
using tarnix::base::JSONValue;
using tarnix::common::SyncError;
using tarnix::common::SyncItem;
using tarnix::fileprovider::ChunkUploadSettings;
using tarnix::fileprovider::CloudEntryUploadOutput;
using tarnix::fileprovider::CloudEntryUploadParams;
using tarnix::fileprovider::SyncCloudResult;
using tarnix::fileprovider::SyncCloudUploads;
using tarnix::fileprovider::UploadConfiguration;
using tarnix::fileprovider::UploadInfo;
using Code = SyncError::Code;
using Reason = tarnix::common::UploadRejectionReason;
namespace common = tarnix::common;
namespace fileprovider = tarnix::fileprovider;
namespace cloudfs = tarnix::cloudfs;

namespace {

constexpr std::int64_t kMiB = 1 << 20;
constexpr const char* kUploadDrive = "6f1c2d3e-4a5b-4c6d-8e7f-901a2b3c4d5e";

/// `size` bytes that differ from chunk to chunk (and from `seed` to `seed`).
std::string patterned(std::int64_t size, char seed) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(seed + (i / 4096) % 23 + (i % 7));
  }
  return bytes;
}

class UploadIntegrationTest : public CloudClientTest {
 protected:
  void SetUp() override {
    auto database = common::DriveDatabase::open(dir_.path(), kUploadDrive);
    ASSERT_TRUE(database) << database.error().description();
    database_ = std::move(*database);
    auto storage = common::SyncItemStorage::make(database_->dbQueue(), "/", nullptr);
    ASSERT_TRUE(storage) << storage.error().description();
    storage_ = std::shared_ptr<common::SyncItemStorage>(std::move(*storage));
    chunks_ = std::make_shared<common::ChunkUploadStorage>(database_->dbQueue());
    failed_ = std::make_shared<fileprovider::FailedUploadStorage>(
        std::make_shared<common::NewFileFailedUploadStorage>(database_->dbQueue()), storage_,
        log_.first);
    work_ = makeFolder(folderAt("/Shared"), "uploads-" + tarnix::base::makeUuid().substr(0, 8));
    workPath_ = "/Shared/" + work_.filename;
    // The work folder is the drive's root in the item store, so that files below it can be
    // stored there as the sync service stores them.
    work_.parentItemIdentifier = common::SyncFolderIdentifier::zero();
    ASSERT_TRUE(storage_->setRootItem(work_));
    received();
  }
  void TearDown() override {
    admin(HTTPMethod::delete_, "/__admin/uploads");
    CloudClientTest::TearDown();
  }

  /// Uploads of alice's drive: chunks of 1 MiB above 1 MiB.
  std::shared_ptr<SyncCloudUploads> uploads(
      std::shared_ptr<fileprovider::SyncUploadValidator> validator = nullptr) {
    UploadConfiguration configuration;
    configuration.chunkSettings = [] { return ChunkUploadSettings::clamped(kMiB, kMiB); };
    configuration.progress = [this](const UploadInfo& info) {
      std::lock_guard lock(mutex_);
      progress_.push_back(info.completedUploadBytes);
    };
    configuration.listFolderAgain = [this](const common::SyncFolderIdentifier& folder) {
      std::lock_guard lock(mutex_);
      relisted_.push_back(folder);
    };
    return std::make_shared<SyncCloudUploads>(client(), chunks_, failed_, std::move(validator),
                                              configuration, clock_);
  }

  /// A new file named `name` in the work folder.
  SyncItem newFile(const std::string& name) {
    SyncItem item;
    item.itemIdentifier = common::SyncFileIdentifier::make();
    item.parentItemIdentifier = *work_.itemIdentifier.folder();
    item.filename = name;
    return item;
  }

  /// A snapshot file holding `content`.
  CloudEntryUploadParams params(const std::string& content,
                                std::optional<common::CloudEntryIdentifier> base = std::nullopt) {
    auto file = dir_ / ("snapshot-" + tarnix::base::makeUuid());
    std::ofstream(file, std::ios::binary) << content;
    CloudEntryUploadParams p;
    p.baseContentVersion = std::move(base);
    p.contentModificationDate = modified_;
    p.contentSize = static_cast<std::int64_t>(content.size());
    p.contentsURL = file;
    return p;
  }

  SyncCloudResult<CloudEntryUploadOutput> uploadNew(SyncCloudUploads& sut, const SyncItem& item,
                                                    const std::string& content) {
    return run<CloudEntryUploadOutput>([&](auto done) {
      sut.uploadFirstEntry(item, workPath_ + "/" + item.filename, params(content), std::move(done));
    });
  }
  SyncCloudResult<CloudEntryUploadOutput> uploadNext(SyncCloudUploads& sut, const SyncItem& item,
                                                     const std::string& content,
                                                     common::CloudEntryIdentifier base) {
    return run<CloudEntryUploadOutput>([&](auto done) {
      sut.uploadNextEntry(item, workPath_ + "/" + item.filename, params(content, base),
                          std::move(done));
    });
  }

  /// The content of the file at `path` on the cloud, as alice reads it.
  std::string cloudContent(const std::string& path) {
    auto downloaded = client()->cfsSession()->data(DownloadByPath(path),
                                                   cloudfs::TarnixURLRequestOptions::none());
    auto result = downloaded.get();
    if (!result || result->second.statusCode != 200) return "<missing>";
    return result->first;
  }
  /// The file's metadata on the cloud.
  std::optional<cloudfs::FileMetadataResponse> cloudFile(const std::string& path) {
    auto future = client()->cfsSession()->data(cloudfs::LatestFileMetadataByPathRequest(path),
                                               cloudfs::TarnixURLRequestOptions::none());
    auto result = future.get();
    if (!result || result->second.statusCode != 200) return std::nullopt;
    auto decoded = cloudfs::FileMetadataResponse::decode({result->second, result->first, {}});
    if (!decoded) return std::nullopt;
    return *decoded;
  }
  /// The names of the files in the work folder.
  std::vector<std::string> cloudNames() {
    auto future = client()->cfsSession()->data(cloudfs::ListingByPathRequest(workPath_),
                                               cloudfs::TarnixURLRequestOptions::none());
    auto result = future.get();
    std::vector<std::string> names;
    if (!result) return names;
    auto listing = cloudfs::ListingResponse::decode({result->second, result->first, {}});
    if (!listing) return names;
    for (const auto& file : listing->files) names.push_back(file.name);
    std::ranges::sort(names);
    return names;
  }

  /// The chunk numbers and single uploads the emulator received since the last look.
  struct Sent {
    std::vector<int> chunks;
    std::vector<std::string> lastChunkFlags;
    int singleUploads = 0;
  };
  Sent sent() {
    Sent out;
    for (const auto& request : received()) {
      if (request.method != "POST") continue;
      if (request.path.starts_with("/api/v1/fs-content-chunked/")) {
        out.chunks.push_back(std::stoi(request.header("x-tarnix-chunk-num").value_or("0")));
        out.lastChunkFlags.push_back(request.header("x-tarnix-last-chunk").value_or(""));
      } else if (request.path.starts_with("/api/v1/fs-content/")) {
        ++out.singleUploads;
      }
    }
    return out;
  }

  std::vector<std::int64_t> storedChunkNumbers(const SyncItem& item) {
    std::vector<std::int64_t> numbers;
    auto stored = chunks_->getAllChunks(item.itemIdentifier);
    EXPECT_TRUE(stored);
    if (stored) {
      for (const auto& chunk : *stored) numbers.push_back(chunk.chunkNumber);
    }
    return numbers;
  }

  void failChunk(int number, int status = 500) {
    addFault({{"path", "^/api/v1/fs-content-chunked/"},
              {"method", "POST"},
              {"matchHeaders", {{"X-Tarnix-Chunk-Num", std::to_string(number)}}},
              {"status", status},
              {"count", 1}});
  }

  /// GET "/api/v1/fs-content" + path: the current version's bytes.
  class DownloadByPath final : public cloudfs::CloudFSRequestPrototype {
   public:
    explicit DownloadByPath(std::string path) : cloudPath_(std::move(path)) {}
    std::string path() const override {
      return "/api/v1/fs-content" + cloudfs::percentEncodePath(cloudPath_);
    }
    tarnix::base::HTTPMethod method() const override { return HTTPMethod::get; }

   private:
    std::string cloudPath_;
  };

  TempDir dir_;
  std::unique_ptr<common::DriveDatabase> database_;
  std::shared_ptr<common::SyncItemStorage> storage_;
  std::shared_ptr<common::ChunkUploadStorage> chunks_;
  std::shared_ptr<fileprovider::FailedUploadStorage> failed_;
  SyncItem work_;
  std::string workPath_;
  tarnix::base::Date modified_ = tarnix::base::dateFromMillisecondsSince1970(1'700'000'000'000);
  std::shared_ptr<tarnix::base::ManualClock> clock_ = tarnix::base::ManualClock::make();
  std::mutex mutex_;
  std::vector<std::int64_t> progress_;
  std::vector<common::SyncFolderIdentifier> relisted_;
};

TEST_F(UploadIntegrationTest, SmallFileGoesUpInOneRequestWithItsChecksum) {
  auto sut = uploads();
  const std::string content = "hello, cloud\n";
  auto uploaded = uploadNew(*sut, newFile("hello.txt"), content);
  ASSERT_TRUE(uploaded) << uploaded.error().description();
  EXPECT_EQ(uploaded->filename, "hello.txt");
  EXPECT_FALSE(uploaded->didCreateConflict);
  EXPECT_EQ(uploaded->contentChecksum, tarnix::base::sha512Hex(content));

  auto requests = received();
  auto post = std::ranges::find_if(requests, [](const auto& r) { return r.method == "POST"; });
  ASSERT_NE(post, requests.end());
  EXPECT_EQ(post->path, "/api/v1/fs-content" + workPath_ + "/hello.txt");
  EXPECT_EQ(post->header("x-sha512-checksum"), tarnix::base::sha512Hex(content));
  EXPECT_EQ(post->header("last-modified"), tarnix::base::formatHTTPDate(modified_));
  EXPECT_EQ(cloudContent(workPath_ + "/hello.txt"), content);
}

TEST_F(UploadIntegrationTest, FileAboveTheThresholdGoesUpInChunksAndArrivesWhole) {
  auto sut = uploads();
  const auto content = patterned(3 * kMiB + 5, 'a');
  auto item = newFile("big.bin");
  auto uploaded = uploadNew(*sut, item, content);
  ASSERT_TRUE(uploaded) << uploaded.error().description();

  auto requests = sent();
  EXPECT_EQ(requests.chunks, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(requests.lastChunkFlags, (std::vector<std::string>{"false", "false", "false", "true"}));
  EXPECT_EQ(requests.singleUploads, 0);
  EXPECT_EQ(cloudContent(workPath_ + "/big.bin"), content);
  EXPECT_TRUE(storedChunkNumbers(item).empty()) << "the finished session leaves no rows";
  std::lock_guard lock(mutex_);
  EXPECT_EQ(progress_, (std::vector<std::int64_t>{kMiB, 2 * kMiB, 3 * kMiB, 3 * kMiB + 5}));
}

TEST_F(UploadIntegrationTest, ResumeAfterAFailedChunkSendsOnlyTheMissingChunks) {
  auto sut = uploads();
  const auto content = patterned(3 * kMiB + 100, 'k');
  auto item = newFile("resume.bin");
  failChunk(3);
  auto first = uploadNew(*sut, item, content);
  ASSERT_FALSE(first);
  EXPECT_EQ(sent().chunks, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(storedChunkNumbers(item), (std::vector<std::int64_t>{1, 2}))
      << "only acknowledged chunks are recorded";

  auto second = uploadNew(*sut, item, content);
  ASSERT_TRUE(second) << second.error().description();
  EXPECT_EQ(sent().chunks, (std::vector<int>{3, 4}));
  EXPECT_EQ(cloudContent(workPath_ + "/resume.bin"), content);
}

TEST_F(UploadIntegrationTest, FileChangedBetweenAttemptsStartsOverAndTheCloudHoldsTheNewContent) {
  auto sut = uploads();
  const auto before = patterned(3 * kMiB + 100, 'k');
  auto after = before;
  after[3 * kMiB + 50] ^= 0x55;  // a change in the last chunk only, same size, same date
  after[10] ^= 0x55;             // and one in the first chunk
  auto item = newFile("changed.bin");
  failChunk(3);
  ASSERT_FALSE(uploadNew(*sut, item, before));
  sent();

  auto second = uploadNew(*sut, item, after);
  ASSERT_TRUE(second) << second.error().description();
  EXPECT_EQ(sent().chunks, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(cloudContent(workPath_ + "/changed.bin"), after);
  EXPECT_EQ(
      log_.second->entries("Removing chunks from DB. Resuming upload with first chunk.").size(),
      1u);
}

TEST_F(UploadIntegrationTest, LostFinalAnswerLeavesExactlyOneVersionOnTheCloud) {
  struct Case {
    std::string name;
    std::int64_t size;
    JSONValue fault;
  };
  const std::vector<Case> cases = {
      {"single.txt",
       2000,
       {{"path", "^/api/v1/fs-content/"}, {"method", "POST"}, {"action", "commitDrop"}}},
      {"chunked.bin",
       2 * kMiB + 1,
       {{"path", "^/api/v1/fs-content-chunked/"},
        {"method", "POST"},
        {"matchHeaders", {{"X-Tarnix-Chunk-Num", "3"}}},
        {"action", "commitDrop"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto sut = uploads();
    const auto content = patterned(c.size, 'q');
    auto item = newFile(c.name);
    addFault(c.fault);
    auto first = uploadNew(*sut, item, content);
    ASSERT_FALSE(first) << "the answer was lost";
    sent();

    auto retried = uploadNew(*sut, item, content);
    ASSERT_TRUE(retried) << retried.error().description();
    EXPECT_TRUE(retried->wasAlreadyUploaded);
    auto again = sent();
    EXPECT_TRUE(again.chunks.empty());
    EXPECT_EQ(again.singleUploads, 0);
    auto file = cloudFile(workPath_ + "/" + c.name);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->numVersions, 1);
    EXPECT_EQ(retried->contentVersion.rawValue, file->entryID);
    EXPECT_TRUE(storedChunkNumbers(item).empty());
  }
}

TEST_F(UploadIntegrationTest, LostFinalChunkAnswerWithoutARecordIsFoundOnTheCloud) {
  // The process ended before the failure was recorded: the chunk rows of this content still
  // lead the retry to look at the cloud instead of resending into a finished session.
  UploadConfiguration configuration;
  configuration.chunkSettings = [] { return ChunkUploadSettings::clamped(kMiB, kMiB); };
  auto sut = std::make_shared<SyncCloudUploads>(client(), chunks_, nullptr, nullptr, configuration);
  auto mine = uploadFile(workPath_ + "/edited.bin", "version 1\n", work_);
  const auto content = patterned(2 * kMiB + 1, 'e');
  addFault({{"path", "^/api/v1/fs-content-chunked/"},
            {"matchHeaders", {{"X-Tarnix-Chunk-Num", "3"}}},
            {"action", "commitDrop"}});
  ASSERT_FALSE(uploadNext(*sut, mine, content, *mine.contentVersion));
  sent();

  auto retried = uploadNext(*sut, mine, content, *mine.contentVersion);
  ASSERT_TRUE(retried) << retried.error().description();
  EXPECT_TRUE(retried->wasAlreadyUploaded);
  EXPECT_TRUE(sent().chunks.empty());
  auto file = cloudFile(workPath_ + "/edited.bin");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->numVersions, 2);
  EXPECT_EQ(cloudNames(), (std::vector<std::string>{"edited.bin"})) << "no conflict copy";
}

TEST_F(UploadIntegrationTest, SessionTheServerForgotStartsOverOnTheNextAttempt) {
  auto sut = uploads();
  const auto content = patterned(2 * kMiB + 1, 'f');
  auto item = newFile("forgotten.bin");
  failChunk(2);
  ASSERT_FALSE(uploadNew(*sut, item, content));
  addFault({{"path", "^/api/v1/fs-content-chunked/"},
            {"matchHeaders", {{"X-Tarnix-Chunk-Num", "2"}}},
            {"status", 400},
            {"body", {{"message", "Upload session not found"}}}});
  ASSERT_FALSE(uploadNew(*sut, item, content));
  EXPECT_TRUE(storedChunkNumbers(item).empty());
  sent();

  ASSERT_TRUE(uploadNew(*sut, item, content));
  EXPECT_EQ(sent().chunks, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(cloudContent(workPath_ + "/forgotten.bin"), content);
}

TEST_F(UploadIntegrationTest, AnotherUsersNewerVersionStaysAndOursBecomesAConflictCopy) {
  // Bob replaces the file after alice's attempt failed; her retry with unchanged content must
  // not take his version for its base.
  for (bool failedFirst : {false, true}) {
    SCOPED_TRACE(failedFirst ? "after a failed attempt" : "first attempt");
    auto sut = uploads();
    const std::string name = failedFirst ? "retry.txt" : "plain.txt";
    auto mine = uploadFile(workPath_ + "/" + name, "version 1\n", work_);
    ASSERT_TRUE(storage_->storeNewItem(mine));
    if (failedFirst) {
      addFault({{"path", "^/api/v1/fs-content/"}, {"method", "POST"}, {"status", 500}});
      ASSERT_FALSE(uploadNext(*sut, mine, "alice's edit\n", *mine.contentVersion));
    }
    uploadFile(workPath_ + "/" + name, "bob's version\n", work_, EmulatorProcess::kBobToken);

    auto uploaded = uploadNext(*sut, mine, "alice's edit\n", *mine.contentVersion);
    ASSERT_TRUE(uploaded) << uploaded.error().description();
    EXPECT_TRUE(uploaded->didCreateConflict);
    EXPECT_NE(uploaded->filename, name);
    EXPECT_EQ(cloudContent(workPath_ + "/" + name), "bob's version\n");
    EXPECT_EQ(cloudContent(workPath_ + "/" + uploaded->filename), "alice's edit\n");
    EXPECT_EQ(log_.second->entries("Keeping the original base version").size(),
              failedFirst ? 1u : 0u);
  }
}

TEST_F(UploadIntegrationTest, ExistingNameOnTheCloudIsNeverOverwrittenByANewFile) {
  auto sut = uploads();
  uploadFile(workPath_ + "/taken.txt", "theirs\n", work_, EmulatorProcess::kBobToken);
  sent();
  auto uploaded = uploadNew(*sut, newFile("taken.txt"), "mine\n");
  ASSERT_FALSE(uploaded);
  ASSERT_TRUE(uploaded.error().syncError());
  EXPECT_EQ(uploaded.error().syncError()->code(), Code::filenameCollision);
  EXPECT_EQ(sent().singleUploads, 0);
  EXPECT_EQ(cloudContent(workPath_ + "/taken.txt"), "theirs\n");

  auto withoutBase = run<CloudEntryUploadOutput>([&](auto done) {
    auto item = newFile("taken.txt");
    item.cloudIdentifier = common::CloudGroupIdentifier{"1"};
    sut->uploadNextEntry(item, workPath_ + "/taken.txt", params("mine\n"), std::move(done));
  });
  ASSERT_FALSE(withoutBase);
  EXPECT_EQ(withoutBase.error().syncError()->code(), Code::filenameCollision);
  EXPECT_EQ(cloudContent(workPath_ + "/taken.txt"), "theirs\n");
}

TEST_F(UploadIntegrationTest, ValidatorRejectsBeforeAnythingIsSent) {
  auto sut = uploads(std::make_shared<fileprovider::SyncUploadValidator>(nullptr));
  const std::vector<std::pair<std::string, Reason>> cases = {
      {"bad:name.txt", Reason::prohibitedCharacterInFilename},
      {"trailing.", Reason::invalidFilename},
      {"tab\there.txt", Reason::prohibitedUnicodeInFilename},
      {std::string(246, 'n'), Reason::filenameTooLong},
  };
  for (const auto& [name, reason] : cases) {
    SCOPED_TRACE(name);
    auto uploaded = uploadNew(*sut, newFile(name), "content\n");
    ASSERT_FALSE(uploaded);
    ASSERT_TRUE(uploaded.error().syncError());
    EXPECT_EQ(uploaded.error().syncError()->code(), Code::uploadRejected);
    EXPECT_EQ(uploaded.error().syncError()->rejectionReason(), reason);
  }
  EXPECT_TRUE(received().empty());
}

TEST_F(UploadIntegrationTest, ServerRejectionsReachTheCallerAsTheirReasons) {
  struct Case {
    std::string name;
    std::int64_t size;
    JSONValue switches;
    Reason reason;
  };
  const std::vector<Case> cases = {
      {"large.txt", 5000, {{"maxFileSize", 1000}}, Reason::contentTooLarge},
      {"large-chunked.bin", 2 * kMiB, {{"maxFileSize", kMiB}}, Reason::contentTooLarge},
      {"tool.exe", 100, {{"excludedExtensions", {"exe"}}}, Reason::excludedFilenameExtension},
      {"full.txt", 100, {{"quotaBytes", 1}}, Reason::storageLimitReached},
      {"full-chunked.bin", 2 * kMiB, {{"quotaBytes", 1}}, Reason::storageLimitReached},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    admin(HTTPMethod::delete_, "/__admin/uploads");
    admin(HTTPMethod::post, "/__admin/uploads", c.switches.dump());
    auto sut = uploads();
    auto uploaded = uploadNew(*sut, newFile(c.name), patterned(c.size, 'r'));
    ASSERT_FALSE(uploaded);
    ASSERT_TRUE(uploaded.error().syncError()) << uploaded.error().description();
    EXPECT_EQ(uploaded.error().syncError()->code(), Code::uploadRejected);
    EXPECT_EQ(uploaded.error().syncError()->rejectionReason(), c.reason);
    EXPECT_EQ(cloudContent(workPath_ + "/" + c.name), "<missing>");
  }
}

TEST_F(UploadIntegrationTest, FinalChecksumMismatchAfterCommitIsReportedAndTheFolderListedAgain) {
  auto sut = uploads();
  auto item = newFile("mismatch.bin");
  addFault({{"path", "^/api/v1/fs-content-chunked/"},
            {"method", "POST"},
            {"matchHeaders", {{"X-Tarnix-Chunk-Num", "2"}}},
            {"action", "headers"},
            {"headers", {{"X-Sha512-Checksum", "aa-2-1048576-bb"}}}});
  auto uploaded = uploadNew(*sut, item, patterned(kMiB + 10, 'm'));
  ASSERT_FALSE(uploaded);
  EXPECT_EQ(uploaded.error().syncError()->rejectionReason(), Reason::checksumMismatch);
  std::lock_guard lock(mutex_);
  EXPECT_EQ(relisted_, (std::vector<common::SyncFolderIdentifier>{*work_.itemIdentifier.folder()}));
  EXPECT_TRUE(storedChunkNumbers(item).empty());
}

TEST_F(UploadIntegrationTest, ServerAnswersAboutTheChunkSessionKeepOrDropTheRightRows) {
  auto sut = uploads();
  const auto content = patterned(3 * kMiB + 1, 's');
  auto item = newFile("session.bin");

  // Another upload of the file is under way: nothing recorded is lost.
  addFault({{"path", "^/api/v1/fs-content-chunked/"},
            {"matchHeaders", {{"X-Tarnix-Chunk-Num", "2"}}},
            {"status", 400},
            {"body", {{"message", "CHUNK upload of this file is already in progress"}}}});
  auto busy = uploadNew(*sut, item, content);
  ASSERT_FALSE(busy);
  EXPECT_EQ(busy.error().syncError()->code(), Code::chunkUploadInProgress);
  EXPECT_EQ(storedChunkNumbers(item), (std::vector<std::int64_t>{1}));

  // The server lost chunk 2; the numbers it names outside the file are ignored.
  addFault({{"path", "^/api/v1/fs-content-chunked/"},
            {"matchHeaders", {{"X-Tarnix-Chunk-Num", "4"}}},
            {"status", 400},
            {"body", {{"message", "Chunks missing: 2 , 99, 0, -3, x"}}}});
  auto missing = uploadNew(*sut, item, content);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().syncError()->code(), Code::chunkUploadInProgress);
  EXPECT_EQ(storedChunkNumbers(item), (std::vector<std::int64_t>{1, 3}));
  sent();

  auto resumed = uploadNew(*sut, item, content);
  ASSERT_TRUE(resumed) << resumed.error().description();
  EXPECT_EQ(sent().chunks, (std::vector<int>{2, 4}));
  EXPECT_EQ(cloudContent(workPath_ + "/session.bin"), content);
}

TEST_F(UploadIntegrationTest, ChunkSessionsOfADayAgoAreSweptAtStart) {
  auto sut = uploads();
  auto item = newFile("old.bin");
  failChunk(2);
  ASSERT_FALSE(uploadNew(*sut, item, patterned(2 * kMiB + 1, 'o')));
  ASSERT_EQ(storedChunkNumbers(item), (std::vector<std::int64_t>{1}));
  clock_->advance(std::chrono::hours(23) + std::chrono::minutes(59));
  sut->chunkFileUploader()->removeRetiredChunksIfAny();
  ASSERT_EQ(storedChunkNumbers(item), (std::vector<std::int64_t>{1}));
  clock_->advance(std::chrono::minutes(1));
  sut->chunkFileUploader()->removeRetiredChunksIfAny();
  EXPECT_TRUE(storedChunkNumbers(item).empty());
}

}  // namespace
