// The judge of download answers, case by case: statuses, versions and what a ranged answer
// says it holds, for whole files (fresh and resumed) and for byte ranges.

#include "fileprovider/content/DownloadJudge.hpp"

#include <gtest/gtest.h>

namespace tarnix::fileprovider {
namespace {

using cloudfs::ByteRange;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr auto kAccept = DownloadDecision::accept;
constexpr auto kReject = DownloadDecision::reject;
constexpr auto kWhole = DownloadDecision::downloadWhole;

struct Case {
  const char* name;
  int status;
  Headers headers;
  std::optional<ByteRange> requested;
  std::int64_t received;
  DownloadVerdict expected;
};

DownloadVerdict accepted(ByteRange delivered) {
  return DownloadVerdict::accept(delivered);
}
DownloadVerdict rejected(DownloadRejection why) {
  return DownloadVerdict::reject(why);
}

TEST(DownloadJudgeTest, EveryAnswerGetsOneVerdict) {
  const Headers v1 = {{"ETag", "\"e1\""}};
  auto with = [](Headers headers, std::string contentRange) {
    headers.emplace_back("Content-Range", std::move(contentRange));
    return headers;
  };
  const std::optional<ByteRange> whole;
  const ByteRange range{100, 50};
  const Case cases[] = {
      // The whole file.
      {"the whole file", 200, v1, whole, 1000, accepted({0, 1000})},
      {"a weak entity tag of the version",
       200,
       {{"etag", "W/\"e1\""}},
       whole,
       10,
       accepted({0, 10})},
      {"another version",
       200,
       {{"ETag", "\"e2\""}},
       whole,
       10,
       rejected(DownloadRejection::otherVersion)},
      {"no entity tag", 200, {}, whole, 10, rejected(DownloadRejection::otherVersion)},
      {"a ranged answer with all of it", 206, with(v1, "bytes 0-999/1000"), whole, 1000,
       accepted({0, 1000})},
      {"the rest after a resumed start", 206, with(v1, "bytes 400-999/1000"), whole, 1000,
       accepted({0, 1000})},
      {"a ranged answer with part of it", 206, with(v1, "bytes 0-499/1000"), whole, 500,
       rejected(DownloadRejection::badLength)},
      {"fewer bytes than the range says", 206, with(v1, "bytes 0-999/1000"), whole, 999,
       rejected(DownloadRejection::badLength)},
      {"a ranged answer that does not say its range", 206, v1, whole, 1000,
       rejected(DownloadRejection::badLength)},
      {"gone", 404, {}, whole, 0, rejected(DownloadRejection::status)},
      {"refused", 403, {}, whole, 0, rejected(DownloadRejection::status)},
      {"unauthenticated", 401, {}, whole, 0, rejected(DownloadRejection::status)},
      {"throttled", 429, {}, whole, 0, rejected(DownloadRejection::status)},
      {"not implemented", 501, {}, whole, 0, rejected(DownloadRejection::status)},
      {"an unsatisfiable range without asking for one",
       416,
       {},
       whole,
       0,
       rejected(DownloadRejection::status)},
      {"an internal error", 500, {}, whole, 0, rejected(DownloadRejection::transientStatus)},
      {"a bad gateway", 502, {}, whole, 0, rejected(DownloadRejection::transientStatus)},
      {"unavailable, of another version",
       503,
       {{"ETag", "\"e2\""}},
       whole,
       0,
       rejected(DownloadRejection::transientStatus)},
      {"a gateway time-out", 504, {}, whole, 0, rejected(DownloadRejection::transientStatus)},
      // A byte range.
      {"the range", 206, with(v1, "bytes 100-149/1000"), range, 50, accepted({100, 50})},
      {"a wider range holding it", 206, with(v1, "bytes 96-159/1000"), range, 64,
       accepted({96, 64})},
      {"a range cut at the end of the file", 206, with(v1, "bytes 100-119/120"), range, 20,
       accepted({100, 20})},
      {"the whole file instead", 200, v1, range, 1000, accepted({0, 1000})},
      {"a range after the first byte asked for", 206, with(v1, "bytes 120-169/1000"), range, 50,
       DownloadVerdict::downloadWhole()},
      {"a range before it", 206, with(v1, "bytes 0-49/1000"), range, 50,
       DownloadVerdict::downloadWhole()},
      {"an unsatisfiable range", 416, {}, range, 0, DownloadVerdict::downloadWhole()},
      {"fewer bytes than its range says", 206, with(v1, "bytes 100-149/1000"), range, 40,
       rejected(DownloadRejection::badLength)},
      {"a range without its range", 206, v1, range, 50, rejected(DownloadRejection::badLength)},
      {"a range of another version", 206, with({{"ETag", "e2"}}, "bytes 100-149/1000"), range, 50,
       rejected(DownloadRejection::otherVersion)},
      {"unavailable while asking for a range",
       503,
       {},
       range,
       0,
       rejected(DownloadRejection::transientStatus)},
      // A range of nothing sends no "Range": the whole file is what was asked for.
      {"nothing asked, the whole file", 200, v1, ByteRange{10, 0}, 30, accepted({0, 30})},
      {"nothing asked, unsatisfiable",
       416,
       {},
       ByteRange{10, 0},
       0,
       rejected(DownloadRejection::status)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cloudfs::HTTPURLResponse response;
    response.statusCode = c.status;
    response.headerFields = c.headers;
    const auto verdict = judgeDownloadAnswer(
        {response, common::CloudEntryIdentifier{"e1"}, c.requested, c.received});
    EXPECT_EQ(verdict.decision, c.expected.decision);
    EXPECT_EQ(verdict.rejection, c.expected.rejection);
    EXPECT_EQ(verdict.delivered, c.expected.delivered);
  }
}

TEST(DownloadJudgeTest, WithoutAVersionAskedForAnyEntityTagWillDo) {
  cloudfs::HTTPURLResponse response;
  response.statusCode = 200;
  EXPECT_EQ(judgeDownloadAnswer({response, std::nullopt, std::nullopt, 7}).decision, kAccept);
  response.headerFields = {{"ETag", "\"whatever\""}};
  EXPECT_EQ(judgeDownloadAnswer({response, std::nullopt, ByteRange{0, 4}, 7}).decision, kAccept);
  response.statusCode = 404;
  EXPECT_EQ(judgeDownloadAnswer({response, std::nullopt, std::nullopt, 0}).decision, kReject);
  response.statusCode = 416;
  EXPECT_EQ(judgeDownloadAnswer({response, std::nullopt, ByteRange{0, 4}, 0}).decision, kWhole);
}

}  // namespace
}  // namespace tarnix::fileprovider
