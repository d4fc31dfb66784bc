// The decision logic of uploads as plain values: chunk arithmetic, which chunk a session sends
// next, the server's "Chunks missing:" and final checksum, the configuration's clamps, the
// validator's name rules, what failures the user is shown, and the transfer statistics.

#include <gtest/gtest.h>

#include "base/Hash.hpp"
#include "base/JSONValue.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"
#include "fileprovider/upload/ChunkUploadUtility.hpp"
#include "fileprovider/upload/SyncUploadValidator.hpp"
#include "fileprovider/upload/UploadErrorPresenter.hpp"
#include "fileprovider/upload/UploadNetworkStatsCollector.hpp"

namespace {

using namespace tarnix::fileprovider;
using tarnix::common::SyncError;
using tarnix::common::UploadChunk;
using Reason = tarnix::common::UploadRejectionReason;
using namespace std::chrono_literals;
namespace U = ChunkUploadUtility;

const tarnix::base::Date kNow = tarnix::base::dateFromMillisecondsSince1970(1'700'000'000'000);
constexpr std::int64_t kChunk = 1000;

UploadChunk stored(std::int64_t number, std::string checksum = "full",
                   std::chrono::seconds age = 60s, std::int64_t chunkSize = kChunk) {
  UploadChunk chunk;
  chunk.chunkNumber = number;
  chunk.itemIdentifier = "file/f";
  chunk.uploadId = "session-1";
  chunk.lastModifiedDate = kNow - 3600s;
  chunk.firstChunkUploadTime = kNow - age;
  chunk.chunkChecksum = "c" + std::to_string(number);
  chunk.chunkSize = chunkSize;
  chunk.fullFileContentChecksum = std::move(checksum);
  return chunk;
}

ChunkedFileState fileOf(std::int64_t chunks, std::string checksum = "full",
                        std::optional<tarnix::base::Date> modified = kNow - 3600s) {
  return ChunkedFileState{kChunk, chunks, modified, std::move(checksum)};
}

TEST(ChunkArithmetic, SplitsFilesIntoChunksWithAShortLastOne) {
  EXPECT_EQ(U::totalChunks(2 * kChunk + 1, kChunk), 3);
  EXPECT_EQ(U::totalChunks(2 * kChunk, kChunk), 2);
  EXPECT_EQ(U::totalChunks(0, kChunk), 1);
  EXPECT_EQ(U::totalChunks(10, 0), 1) << "a chunk size of 0 must not divide by zero";
  EXPECT_EQ(U::chunkRange(3, kChunk, 2 * kChunk + 1),
            (std::pair<std::int64_t, std::int64_t>{2 * kChunk, 1}));
  EXPECT_EQ(U::chunkRange(1, kChunk, 2 * kChunk + 1),
            (std::pair<std::int64_t, std::int64_t>{0, kChunk}));
}

TEST(ChunkArithmetic, ConfigurationValuesAreClamped) {
  struct Case {
    std::int64_t threshold, chunkSize, expectedThreshold, expectedChunkSize;
  };
  const Case cases[] = {
      {0, 0, kDefaultChunkSize, kDefaultChunkSize},
      {-5, -1, kDefaultChunkSize, kDefaultChunkSize},
      {1, 1, kMinimumChunkSize, kMinimumChunkSize},
      {100 << 20, std::int64_t{1} << 40, 100 << 20, kMaximumChunkSize},
      {52428800, 10 << 20, 52428800, 10 << 20},
  };
  for (const auto& c : cases) {
    auto settings = ChunkUploadSettings::clamped(c.threshold, c.chunkSize);
    EXPECT_EQ(settings.thresholdBytes, c.expectedThreshold) << c.threshold;
    EXPECT_EQ(settings.chunkSize, c.expectedChunkSize) << c.chunkSize;
  }
  auto settings = ChunkUploadSettings::clamped(52428800, 52428800);
  EXPECT_FALSE(settings.usesChunks(52428800)) << "exactly the threshold goes in one request";
  EXPECT_TRUE(settings.usesChunks(52428801));
}

TEST(ChunkPlanning, PicksTheNextChunkOrStartsOver) {
  struct Case {
    std::string name;
    std::vector<UploadChunk> stored;
    ChunkedFileState file;
    std::int64_t expectedChunk;
    bool restart;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"nothing stored", {}, fileOf(4), 1, false, ""},
      {"resumes after the last", {stored(1), stored(2)}, fileOf(4), 3, false, ""},
      {"fills the gap first", {stored(1), stored(2), stored(4)}, fileOf(5), 3, false, ""},
      {"chunk 1 missing", {stored(2), stored(3)}, fileOf(4), 1, true, "chunk 1 missed to upload"},
      {"chunk size changed",
       {stored(1, "full", 60s, 2 * kChunk)},
       fileOf(4),
       1,
       true,
       "chunk size changed"},
      {"23 h 59 min old", {stored(1, "full", 24h - 1min)}, fileOf(4), 2, false, ""},
      {"24 h old", {stored(1, "full", 24h)}, fileOf(4), 1, true, "chunk is retired"},
      {"same second, same content",
       {stored(1)},
       fileOf(4, "full", kNow - 3600s + 400ms),
       2,
       false,
       ""},
      {"same second, other content",
       {stored(1)},
       fileOf(4, "changed", kNow - 3600s + 400ms),
       1,
       true,
       "file is modified before upload finished"},
      {"other date",
       {stored(1)},
       fileOf(4, "full", kNow),
       1,
       true,
       "file is modified before upload finished"},
      {"no date now, other content",
       {stored(1)},
       fileOf(4, "changed", std::nullopt),
       1,
       true,
       "file is modified before upload finished"},
      {"stored chunks beyond the file",
       {stored(1), stored(2), stored(3)},
       fileOf(2),
       1,
       true,
       "file is modified before upload finished"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto plan = U::nextChunk(c.stored, c.file, kNow);
    EXPECT_EQ(plan.chunkNumber, c.expectedChunk);
    EXPECT_EQ(plan.restart, c.restart);
    EXPECT_EQ(plan.reason, c.reason);
    if (!c.restart && c.expectedChunk > 1) {
      EXPECT_EQ(plan.uploadId, "session-1");
      EXPECT_EQ(plan.firstChunkUploadTime, c.stored.front().firstChunkUploadTime);
    } else {
      EXPECT_FALSE(plan.uploadId);
    }
  }
}

TEST(ChunkServerAnswers, MissingChunksAreReadWithinTheFileOnly) {
  using Numbers = std::vector<std::int64_t>;
  EXPECT_EQ(U::missingChunks("Chunks missing: 2, 5", 5), Numbers({2, 5}));
  EXPECT_EQ(U::missingChunks("Chunks missing:2 ,5", 5), Numbers({2, 5}));
  EXPECT_EQ(U::missingChunks("Chunks missing: 0, 7, -1, x, 3, 3, 99999999999999999999", 5),
            Numbers({3}));
  EXPECT_EQ(U::missingChunks("Chunks missing:", 5), Numbers());
  EXPECT_FALSE(U::missingChunks("Upload session not found", 5));
  EXPECT_TRUE(U::isChunkUploadInProgress("CHUNK upload of this file is already in progress"));
  EXPECT_FALSE(U::isChunkUploadInProgress("upload already in progress"));
}

TEST(ChunkServerAnswers, FinalChecksumIsCheckedInAllFourPieces) {
  const std::vector<std::string> checksums = {"c1", "c2", "c3"};
  const auto joined = U::checksumOfChunkChecksums(checksums);
  EXPECT_EQ(joined, tarnix::base::sha512Hex("c1c2c3"));
  const std::int64_t size = 2 * kChunk + 1;
  auto check = [&](const std::string& header, std::int64_t chunks = 3) {
    auto valid = U::validateFinalChecksum(header, chunks, kChunk, size, checksums, "file");
    return valid ? std::string("ok") : valid.error();
  };
  EXPECT_EQ(check("file-3-1000-" + joined), "ok");
  EXPECT_EQ(check("file-3-" + joined),
            "Final checksum for chunked upload should have four components");
  EXPECT_EQ(check("file--3-" + joined),
            "Final checksum for chunked upload should have four components")
      << "an empty piece does not count";
  EXPECT_EQ(check("file-4-1000-" + joined), "Chunk count mismatch in final checksum");
  EXPECT_EQ(check("file-3-999-" + joined), "Chunk size mismatch in final checksum");
  EXPECT_EQ(check("file-3-1000-" + tarnix::base::sha512Hex("c1c2")),
            "File checksum mismatch in final checksum");
  EXPECT_EQ(check("other-3-1000-" + joined), "File checksum mismatch in final checksum")
      << "the whole file's checksum is compared too";
  auto single = U::validateFinalChecksum("file-1-500-" + tarnix::base::sha512Hex("c1"), 1, kChunk,
                                         500, {"c1"}, "file");
  EXPECT_TRUE(single) << "a single chunk may report its own size";
}

TEST(UploadValidation, FirstRuleThatAppliesWins) {
  tarnix::common::CloudConfiguration configuration;
  configuration.maxFileSize = 1000;
  configuration.excludedExtensions = {".exe", "BAT"};
  const auto rules = UploadValidationRules::make(configuration);
  struct Case {
    std::string name;
    std::int64_t size;
    std::optional<std::string> type;
    std::optional<Reason> expected;
  };
  const std::vector<Case> cases = {
      {"report.txt", 10, std::nullopt, std::nullopt},
      {std::string(245, 'a'), 10, std::nullopt, std::nullopt},
      {std::string(246, 'a'), 10, std::nullopt, Reason::filenameTooLong},
      {"big.txt", 1001, std::nullopt, Reason::contentTooLarge},
      {"link", 10, kAliasFileContentType, Reason::aliasFile},
      {"link", 10, kSymbolicLinkContentType, Reason::unsupportedContentType},
      {"   ", 10, std::nullopt, Reason::invalidFilename},
      {"ends with dot.", 10, std::nullopt, Reason::invalidFilename},
      {" leading", 10, std::nullopt, Reason::invalidFilename},
      {"trailing ", 10, std::nullopt, Reason::invalidFilename},
      {"tab\there", 10, std::nullopt, Reason::prohibitedUnicodeInFilename},
      {"back\bspace", 10, std::nullopt, Reason::prohibitedCharacterInFilename},
      {"a|b", 10, std::nullopt, Reason::prohibitedCharacterInFilename},
      {"emoji \xF0\x9F\x98\x80", 10, std::nullopt, Reason::prohibitedUnicodeInFilename},
      {"line\xE2\x80\xA8sep", 10, std::nullopt, Reason::prohibitedUnicodeInFilename},
      {"not utf8 \xFF", 10, std::nullopt, Reason::prohibitedUnicodeInFilename},
      {"setup.EXE", 10, std::nullopt, Reason::excludedFilenameExtension},
      {"run.bat", 10, std::nullopt, Reason::excludedFilenameExtension},
      {"exe", 10, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(validateUpload(rules, c.name, c.size, c.type), c.expected) << c.name;
  }
  SyncUploadValidator withDefaults(nullptr);
  EXPECT_EQ(withDefaults.validate("fine.txt", std::int64_t{1} << 40), std::nullopt);
}

class FixedReachability final : public tarnix::cloudfs::NetworkReachability {
 public:
  explicit FixedReachability(tarnix::cloudfs::NetworkReachabilityStatus status) : status_(status) {}
  tarnix::cloudfs::NetworkReachabilityStatus status(std::string_view) const override {
    return status_;
  }

 private:
  tarnix::cloudfs::NetworkReachabilityStatus status_;
};

TEST(UploadErrors, UsersSeeLastingFailuresOnlyWhileOnline) {
  using Status = tarnix::cloudfs::NetworkReachabilityStatus;
  const SyncCloudError rejected(SyncError::uploadRejected(Reason::contentTooLarge));
  const SyncCloudError busy(SyncError(SyncError::Code::chunkUploadInProgress));
  for (auto status : {Status::wifi, Status::noConnection}) {
    std::vector<UploadFailureNotification> shown;
    UploadErrorPresenter presenter(
        "drive-1", "cloud.example", std::make_shared<FixedReachability>(status),
        [&](const UploadFailureNotification& n) { shown.push_back(n); },
        tarnix::base::Logger::null());
    presenter.presentUploadError("big.iso", rejected);
    presenter.presentUploadError("big.iso", busy);
    if (status == Status::noConnection) {
      EXPECT_TRUE(shown.empty());
      continue;
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].categoryIdentifier, "UPLOAD_FAILED");
    EXPECT_EQ(shown[0].driveIdentifier, "drive-1");
    EXPECT_NE(shown[0].title.find("big.iso"), std::string::npos);
  }
}

TEST(UploadStatistics, TailThroughputCoversTheLastThreeSeconds) {
  UploadNetworkStatsCollector collector;
  collector.start(7, "/a", kNow);
  collector.didSendBodyData(7, kNow + 1s, 1000);
  collector.didSendBodyData(7, kNow + 5s, 5000);
  collector.didSendBodyData(7, kNow + 6s, 8000);
  auto stats = collector.finish(7, kNow + 8s);
  EXPECT_EQ(stats.tailThroughputBytesPerSecond, 3000) << "(8000 - 5000) bytes in 1 s";
  EXPECT_EQ(stats.averageThroughputBytesPerSecond, 1000);
  EXPECT_EQ(stats.stalledForMs, 2000);
  EXPECT_EQ(stats.requestBodyBytesSent, 8000);
  EXPECT_EQ(collector.finish(7, kNow), UploadNetworkStats{}) << "forgotten once finished";
  EXPECT_EQ(milliseconds(-0.5), std::nullopt);
  EXPECT_EQ(milliseconds(1.25), 1250);
}

TEST(UploadProgress, InfoTravelsAsJSONWithItsFieldNames) {
  UploadInfo info{300, "/Shared/a.bin", "drive-1", 100};
  auto json = tarnix::base::parseJSON(info.json());
  ASSERT_TRUE(json);
  EXPECT_EQ(*json, (tarnix::base::JSONValue{{"contentSize", 300},
                                            {"filePath", "/Shared/a.bin"},
                                            {"driveIdentifier", "drive-1"},
                                            {"completedUploadBytes", 100}}));
}

}  // namespace
