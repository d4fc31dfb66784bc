// FileDownloader and RangeDownload against a local HTTPS server standing in for the cloud: how
// each answer to a new or a resumed request is judged before anything is handed over, what
// stays on disk after an interruption and after the end, transient failures tried again after
// their wait (on a manual clock), cancellation, and failures of the disk.

#include "fileprovider/content/FileDownloader.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "base/Date.hpp"
#include "fileprovider/content/RangeDownload.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TempDir.hpp"
#include "support/TestHTTPSServer.hpp"

namespace tarnix::fileprovider {
namespace {

using namespace std::chrono_literals;
using cloudfs::CloudFSSession;
using cloudfs::CloudFSSessionConfiguration;
using cloudfs::TarnixURLSession;
using common::SyncError;
using common::SyncItem;
using testing::CannedResponse;
using testing::CapturingLogSink;
using testing::RecordedRequest;
using testing::TempDir;
using Code = SyncError::Code;
using Handler = std::function<CannedResponse(const RecordedRequest&)>;

const std::string kContent = [] {
  std::string bytes(256 * 1024, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131 + 7) % 251);
  return bytes;
}();
const std::string kEntityTag = "\"e1\"";

CannedResponse whole(std::string body = kContent, std::string eTag = kEntityTag) {
  return CannedResponse{200, {{"ETag", std::move(eTag)}}, std::move(body)};
}

CannedResponse cutShort() {
  auto response = whole();
  response.truncate = true;
  return response;
}

std::string contentRange(std::size_t first, std::size_t last, std::size_t length) {
  return "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
         std::to_string(length);
}

// The offset of a "Range: bytes=N-" request.
std::optional<std::size_t> rangeStart(const RecordedRequest& request) {
  auto range = request.header("range");
  if (!range || !range->starts_with("bytes=") || !range->ends_with("-")) return std::nullopt;
  return std::stoull(range->substr(6));
}

// What a server that honours ranges answers.
CannedResponse rangeOrWhole(const RecordedRequest& request) {
  auto start = rangeStart(request);
  if (!start) return whole();
  return CannedResponse{
      206,
      {{"ETag", kEntityTag},
       {"Content-Range", contentRange(*start, kContent.size() - 1, kContent.size())}},
      kContent.substr(*start)};
}

class FileDownloaderTest : public ::testing::Test {
 protected:
  FileDownloaderTest() {
    std::filesystem::create_directories(downloads());
    TarnixURLSession::Configuration configuration;
    configuration.additionalCAFile = server_.caFile();
    configuration.downloadDirectory = downloads();
    urlSession_ = std::make_shared<TarnixURLSession>(
        base::Logger::null(),
        cloudfs::TarnixUserAgent("device", "1.0.0", "1", {"en_US", "6.1.0", "x86_64"}), "trace",
        nullptr, configuration);
    session_ = sessionWithToken(kFirstToken);
  }

  static constexpr const char* kFirstToken = "first-secret-token";

  std::shared_ptr<CloudFSSession> sessionWithToken(const std::string& token) {
    CloudFSSessionConfiguration sessionConfiguration;
    sessionConfiguration.domain = "127.0.0.1:" + std::to_string(server_.port());
    sessionConfiguration.authentication = CloudFSSessionConfiguration::Authentication::oauth(token);
    return std::make_shared<CloudFSSession>(urlSession_, sessionConfiguration,
                                            base::Logger::null());
  }

  void answer(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }

  std::filesystem::path downloads() const { return dir_ / "downloads"; }
  std::filesystem::path destination() const { return dir_ / "file.bin"; }

  FileDownloader::Configuration setup(std::string entryID = "e1") {
    FileDownloader::Configuration configuration;
    configuration.item.itemIdentifier = common::SyncFileIdentifier{"file-1"};
    configuration.item.parentItemIdentifier = common::SyncFolderIdentifier{"folder-1"};
    configuration.item.filename = "file.bin";
    configuration.item.cloudIdentifier = common::CloudGroupIdentifier{"g1"};
    configuration.item.contentVersion = common::CloudEntryIdentifier{entryID};
    configuration.item.contentSize = static_cast<std::int64_t>(kContent.size());
    configuration.groupID = common::CloudGroupIdentifier{"g1"};
    configuration.entryID = common::CloudEntryIdentifier{entryID};
    configuration.cloudFSSession = session_;
    configuration.destination = destination();
    configuration.resumeDirectory = dir_ / "resume";
    configuration.logger = log_.first;
    configuration.analytics = analytics_;
    configuration.errorHandler.forStatus = [](const cloudfs::CloudFSResponse& response) {
      switch (response.httpResponse.statusCode) {
        case 401:
          return SyncError(Code::authenticationRequired);
        case 404:
          return SyncError(Code::noSuchItem);
        default:
          return SyncError(Code::badServerResponse);
      }
    };
    configuration.errorHandler.forTransport = [](const cloudfs::CloudFSSessionError& error) {
      // As the cloud client maps them.
      const auto* urlError = std::get_if<cloudfs::URLError>(&error);
      if (urlError && urlError->isConnectivityFailure()) {
        return SyncCloudError(SyncError(Code::serverUnreachable));
      }
      return SyncCloudError(error);
    };
    return configuration;
  }

  // The set-up with the standard retries, counted on the test's clock.
  FileDownloader::Configuration retrying() {
    auto configuration = setup();
    configuration.retryPolicy = DownloadRetryPolicy::standard();
    configuration.clock = clock_;
    return configuration;
  }

  static bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 1500 && !condition(); ++i) std::this_thread::sleep_for(10ms);
    return condition();
  }

  // Lets each of `waits` pass on the clock once the attempt before it has failed, checking
  // that the next attempt waits for all of it.
  void letWaitsPass(const std::vector<std::chrono::milliseconds>& waits) {
    for (std::size_t i = 0; i < waits.size(); ++i) {
      SCOPED_TRACE("wait " + std::to_string(i + 1));
      ASSERT_TRUE(eventually([&] {
        return clock_->pendingTimers() == 1 && server_.requests().size() >= seen_ + i + 1;
      })) << "no attempt is waiting for its time";
      clock_->advance(waits[i] - 1ms);
      EXPECT_EQ(clock_->pendingTimers(), 1u) << "the next attempt went early";
      EXPECT_EQ(server_.requests().size(), seen_ + i + 1);
      clock_->advance(1ms);
    }
  }

  static SyncCloudResult<SyncItem> wait(std::future<SyncCloudResult<SyncItem>>& future) {
    if (future.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "the download never completed";
      std::abort();
    }
    return future.get();
  }

  // A started download and the future of its result.
  std::pair<std::shared_ptr<FileDownloader>, std::future<SyncCloudResult<SyncItem>>> started(
      FileDownloader::Configuration configuration) {
    auto promise = std::make_shared<std::promise<SyncCloudResult<SyncItem>>>();
    auto future = promise->get_future();
    auto downloader = std::make_shared<FileDownloader>(
        std::move(configuration),
        [promise](SyncCloudResult<SyncItem> result) { promise->set_value(std::move(result)); });
    downloader->start();
    return {std::move(downloader), std::move(future)};
  }

  SyncCloudResult<SyncItem> download(FileDownloader::Configuration configuration) {
    auto [downloader, future] = started(std::move(configuration));
    return wait(future);
  }
  SyncCloudResult<SyncItem> download() { return download(setup()); }

  // The requests received since the last call.
  std::vector<RecordedRequest> received() {
    auto all = server_.requests();
    std::vector<RecordedRequest> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }

  static std::vector<std::string> filesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  bool resumeDataKept() const { return !filesIn(dir_ / "resume").empty(); }

  static std::optional<Code> codeOf(const SyncCloudResult<SyncItem>& result) {
    if (result) return std::nullopt;
    const auto* sync = result.error().syncError();
    return sync ? std::optional(sync->code()) : std::nullopt;
  }

  // Either the failure expected, with nothing at the destination, or `body` there.
  void expectOutcome(const SyncCloudResult<SyncItem>& result, std::optional<Code> failure,
                     const std::string& body) {
    if (failure) {
      ASSERT_FALSE(result);
      EXPECT_EQ(codeOf(result), failure) << result.error().description();
      EXPECT_FALSE(std::filesystem::exists(destination()));
    } else {
      ASSERT_TRUE(result) << result.error().description();
      EXPECT_TRUE(testing::readFile(destination()) == body) << "the bytes differ";
    }
  }

  // Interrupts a first download halfway: it fails, hands nothing over and keeps resume data.
  void interruptFirstDownload() {
    answer([](const RecordedRequest&) { return cutShort(); });
    auto cut = download();
    ASSERT_FALSE(cut) << "a cut-short body must never be handed over";
    EXPECT_FALSE(cut.error().isCancellation());
    EXPECT_FALSE(std::filesystem::exists(destination()));
    ASSERT_TRUE(resumeDataKept());
    EXPECT_EQ(filesIn(downloads()).size(), 1u) << "the partial body is kept to resume from";
    auto requests = received();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].header("range"));
    firstTarget_ = requests[0].target;
  }

  std::mutex mutex_;
  Handler handler_ = [](const RecordedRequest&) { return whole(); };  // guarded by mutex_
  testing::TestHTTPSServer server_{[this](const RecordedRequest& request) {
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      handler = handler_;
    }
    return handler(request);
  }};
  TempDir dir_{"tarnix-file-downloader"};
  std::shared_ptr<TarnixURLSession> urlSession_;
  std::shared_ptr<CloudFSSession> session_;
  std::shared_ptr<common::RecordingAnalyticsSender> analytics_ =
      std::make_shared<common::RecordingAnalyticsSender>();
  std::pair<base::Logger, std::shared_ptr<CapturingLogSink>> log_ = CapturingLogSink::makeLogger();
  std::size_t seen_ = 0;
  std::string firstTarget_;
  // On a whole second, so that an HTTP date names an exact wait.
  std::shared_ptr<base::ManualClock> clock_ =
      base::ManualClock::make(std::chrono::floor<std::chrono::seconds>(base::Date::clock::now()));
};

// Serves `answers` in turn, the last one from then on.
Handler inTurn(std::vector<Handler> answers) {
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  return [answers = std::move(answers), next](const RecordedRequest& request) {
    return answers[std::min(next->fetch_add(1), answers.size() - 1)](request);
  };
}

Handler always(CannedResponse response) {
  return [response = std::move(response)](const RecordedRequest&) { return response; };
}

CannedResponse unavailable(std::string retryAfter = {}) {
  CannedResponse response{503, {}, R"({"message":"busy"})"};
  if (!retryAfter.empty()) response.headers.emplace_back("Retry-After", std::move(retryAfter));
  return response;
}

TEST_F(FileDownloaderTest, AnAnswerIsJudgedWholeBeforeTheFileIsHandedOver) {
  const auto size = kContent.size();
  const std::string longer = kContent + "more";
  struct Case {
    const char* name;
    CannedResponse response;
    std::optional<Code> failure;  // none: the body is handed over
  };
  const Case cases[] = {
      {"the whole file", whole(), std::nullopt},
      {"a weak, quoted entity tag of the version", whole(kContent, "W/\"e1\""), std::nullopt},
      {"a ranged answer covering the whole file",
       CannedResponse{206,
                      {{"ETag", kEntityTag}, {"Content-Range", contentRange(0, size - 1, size)}},
                      kContent},
       std::nullopt},
      {"a ranged answer with part of the file",
       CannedResponse{206,
                      {{"ETag", kEntityTag}, {"Content-Range", contentRange(0, 99, size)}},
                      kContent.substr(0, 100)},
       Code::badServerResponse},
      {"a ranged answer that does not say its range",
       CannedResponse{206, {{"ETag", kEntityTag}}, kContent}, Code::badServerResponse},
      {"another version", whole(kContent, "\"e2\""), Code::entryIDMismatch},
      {"no entity tag", CannedResponse{200, {}, kContent}, Code::entryIDMismatch},
      {"gone from the cloud", CannedResponse{404, {}, R"({"message":"not found"})"},
       Code::noSuchItem},
      // The cloud's answer for the version is whole; the stored size is what is stale.
      {"more bytes than the stored size", whole(longer), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(destination());
    answer([response = c.response](const RecordedRequest&) { return response; });
    auto result = download();
    ASSERT_NO_FATAL_FAILURE(expectOutcome(result, c.failure, c.response.body));
    if (result) {
      EXPECT_EQ(result->contentSize, static_cast<std::int64_t>(c.response.body.size()));
    }
    EXPECT_TRUE(filesIn(downloads()).empty()) << "nothing of the transfer stays behind";
    EXPECT_FALSE(resumeDataKept());
    EXPECT_EQ(received().size(), 1u);
  }
}

TEST_F(FileDownloaderTest, TheNextAttemptAfterAnInterruptionAsksForTheRestAndCopesWithAnyAnswer) {
  struct Case {
    const char* name;
    Handler server;
    std::optional<Code> failure;
    // Whether each request of the second attempt asked for a range.
    std::vector<bool> ranged;
  };
  const Case cases[] = {
      {"the missing range", rangeOrWhole, std::nullopt, {true}},
      {"the whole file again",
       [](const RecordedRequest&) { return whole(); },
       std::nullopt,
       {true}},
      {"another range than the one asked for",
       [](const RecordedRequest& request) {
         if (!request.header("range")) return whole();
         return CannedResponse{
             206,
             {{"ETag", kEntityTag},
              {"Content-Range", contentRange(0, kContent.size() - 1, kContent.size())}},
             kContent};
       },
       std::nullopt,
       {true, false}},
      {"authentication refused while resuming",
       [](const RecordedRequest& request) {
         return request.header("range") ? CannedResponse{401, {}, "{}"} : whole();
       },
       std::nullopt,
       {true, false}},
      {"authentication refused every time",
       [](const RecordedRequest&) {
         return CannedResponse{401, {}, "{}"};
       },
       Code::authenticationRequired,
       {true, false}},
      {"gone from the cloud meanwhile",
       [](const RecordedRequest&) {
         return CannedResponse{404, {}, "{}"};
       },
       Code::noSuchItem,
       {true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(destination());
    ASSERT_NO_FATAL_FAILURE(interruptFirstDownload());
    answer(c.server);
    auto result = download();
    auto requests = received();
    ASSERT_EQ(requests.size(), c.ranged.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i].header("range").has_value(), c.ranged[i]) << "request " << i;
    }
    if (c.ranged.front()) {
      // The resumed request asks for what is missing, of the version it has the start of.
      auto start = rangeStart(requests[0]);
      ASSERT_TRUE(start);
      EXPECT_GT(*start, 0u);
      EXPECT_LT(*start, kContent.size());
      EXPECT_EQ(requests[0].header("if-range"), kEntityTag);
      EXPECT_EQ(requests[0].target, firstTarget_);
    }
    ASSERT_NO_FATAL_FAILURE(expectOutcome(result, c.failure, kContent));
    // Whatever the outcome, the next download starts afresh.
    EXPECT_FALSE(resumeDataKept());
    EXPECT_TRUE(filesIn(downloads()).empty());
  }
}

TEST_F(FileDownloaderTest, TheResumedStartIsReportedWithItsOffset) {
  ASSERT_NO_FATAL_FAILURE(interruptFirstDownload());
  answer(rangeOrWhole);
  ASSERT_TRUE(download());
  auto requests = received();
  ASSERT_EQ(requests.size(), 1u);
  const auto offset = static_cast<std::int64_t>(*rangeStart(requests[0]));

  auto events = analytics_->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].name, kFileDownloadEvent);
  EXPECT_EQ(events[0].properties.at("resumable_data_used"), false);
  EXPECT_EQ(events[1].properties.at("resumable_data_used"), true);
  EXPECT_EQ(events[1].properties.at("atOffset"), offset);
  EXPECT_EQ(events[1].properties.at("expectedBytes"), static_cast<std::int64_t>(kContent.size()));
  EXPECT_EQ(log_.second->entries("Download resumed").size(), 1u);
}

// Resume data lies on disk: it is the user's alone whatever the umask and holds no credentials;
// the resumed request is authorised with the credentials of its own time (a token refreshed
// in between).
TEST_F(FileDownloaderTest, ResumeDataKeepsNoCredentialsAndResumesWithTodaysToken) {
  const mode_t mask = ::umask(0);
  interruptFirstDownload();
  ::umask(mask);
  ASSERT_FALSE(HasFatalFailure());
  const auto records = filesIn(dir_ / "resume");
  ASSERT_EQ(records.size(), 1u);
  const auto record = dir_ / "resume" / records[0];
  struct stat info {};
  ASSERT_EQ(::stat(record.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((dir_ / "resume").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  const auto text = testing::readFile(record);
  for (const char* secret : {kFirstToken, "Authorization", "Proxy-Authorization"}) {
    EXPECT_EQ(text.find(secret), std::string::npos) << secret;
  }

  answer(rangeOrWhole);
  auto configuration = setup();
  configuration.cloudFSSession = sessionWithToken("refreshed-token");
  auto result = download(std::move(configuration));
  ASSERT_NO_FATAL_FAILURE(expectOutcome(result, std::nullopt, kContent));
  auto requests = received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(rangeStart(requests[0]));
  EXPECT_EQ(requests[0].header("authorization"),
            "OAUTH oauth_token=refreshed-token,oauth_version=2.0");
}

TEST_F(FileDownloaderTest, ResumeDataServesOnlyTheVersionItWasKeptFor) {
  ASSERT_NO_FATAL_FAILURE(interruptFirstDownload());
  answer([](const RecordedRequest&) { return whole(kContent, "\"e2\""); });
  ASSERT_TRUE(download(setup("e2")));
  auto requests = received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].header("range"));
  // The first version's record still serves that version.
  answer(rangeOrWhole);
  ASSERT_TRUE(download());
  requests = received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(rangeStart(requests[0]));
}

// A dropped connection, a time-out or the server's trouble of the moment (500, 502, 503, 504)
// is tried again after a growing wait, or after the "Retry-After" the server asks for, from
// the resume data the interruption left; only then does the caller hear of a failure. A server
// that broke off is never taken for an unreachable one.
TEST_F(FileDownloaderTest, TransientFailuresAreTriedAgainAfterTheirWait) {
  using std::chrono::milliseconds;
  const auto in3s = base::formatHTTPDate(clock_->now() + 3s);
  struct Case {
    const char* name;
    Handler server;
    std::vector<milliseconds> waits;  // before each attempt after the first
    std::optional<Code> failure;      // none: the file, or a transport error (below)
    bool brokeOff = false;            // fails with the transport's lost connection
    std::vector<bool> ranged;         // whether each request asked for a range
  };
  const Case cases[] = {
      // First, while the clock still stands on the whole second the date was made from.
      {"unavailable until a date",
       inTurn({always(unavailable(in3s)), rangeOrWhole}),
       {3s},
       std::nullopt,
       false,
       {false, false}},
      {"a dropped connection, then the rest",
       inTurn({always(cutShort()), rangeOrWhole}),
       {500ms},
       std::nullopt,
       false,
       {false, true}},
      {"unavailable for 7 s",
       inTurn({always(unavailable("7")), rangeOrWhole}),
       {7s},
       std::nullopt,
       false,
       {false, false}},
      {"dropped, then a bad gateway, then the rest",
       inTurn({always(cutShort()), always(CannedResponse{502}), rangeOrWhole}),
       {500ms, 1s},
       std::nullopt,
       false,
       {false, true, false}},
      {"an internal error every time",
       always(CannedResponse{500}),
       {500ms, 1s, 2s},
       Code::badServerResponse,
       false,
       {false, false, false, false}},
      {"dropped every time",
       always(cutShort()),
       {500ms, 1s, 2s},
       std::nullopt,
       true,
       {false, true, true, true}},
      {"unavailable for longer than is waited for",
       always(unavailable("60")),
       {},
       Code::badServerResponse,
       false,
       {false}},
      {"gone from the cloud", always(CannedResponse{404}), {}, Code::noSuchItem, false, {false}},
      {"throttled", always(CannedResponse{429}), {}, Code::badServerResponse, false, {false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(destination());
    std::filesystem::remove_all(dir_ / "resume");
    answer(c.server);
    auto [downloader, future] = started(retrying());
    ASSERT_NO_FATAL_FAILURE(letWaitsPass(c.waits));
    auto result = wait(future);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
    auto requests = received();
    ASSERT_EQ(requests.size(), c.ranged.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i].header("range").has_value(), c.ranged[i]) << "request " << i;
    }
    if (c.brokeOff) {
      ASSERT_FALSE(result);
      const auto* error = result.error().sessionError();
      ASSERT_TRUE(error) << result.error().description();
      const auto* urlError = std::get_if<cloudfs::URLError>(error);
      ASSERT_TRUE(urlError);
      EXPECT_EQ(urlError->code, cloudfs::URLError::Code::networkConnectionLost);
      EXPECT_FALSE(std::filesystem::exists(destination()));
      EXPECT_TRUE(resumeDataKept()) << "the next download goes on from there";
      continue;
    }
    ASSERT_NO_FATAL_FAILURE(expectOutcome(result, c.failure, kContent));
  }
}

// A host that cannot be reached at all is the network's failure: reported at once.
TEST_F(FileDownloaderTest, AnUnreachableServerIsNotTriedAgain) {
  auto configuration = retrying();
  CloudFSSessionConfiguration nowhere;
  nowhere.domain = "127.0.0.1:" + std::to_string(testing::unusedLoopbackPort());
  configuration.cloudFSSession =
      std::make_shared<CloudFSSession>(urlSession_, nowhere, base::Logger::null());
  auto result = download(std::move(configuration));
  EXPECT_EQ(codeOf(result), Code::serverUnreachable);
  EXPECT_EQ(clock_->pendingTimers(), 0u);
}

TEST_F(FileDownloaderTest, CancellingWhileWaitingForTheNextAttemptEndsTheDownload) {
  answer(always(unavailable("5")));
  auto [downloader, future] = started(retrying());
  ASSERT_TRUE(eventually([&] { return clock_->pendingTimers() == 1; }));
  downloader->progress()->cancel();
  ASSERT_EQ(future.wait_for(15s), std::future_status::ready);
  auto result = future.get();
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().isCancellation()) << result.error().description();
  clock_->advance(10s);
  EXPECT_EQ(received().size(), 1u) << "nothing is sent after the cancellation";
}

TEST_F(FileDownloaderTest, CancellingEndsTheDownloadOnceAndHandsNothingOver) {
  auto slow = whole();
  slow.delay = 30s;
  answer([slow](const RecordedRequest&) { return slow; });
  for (const bool beforeStart : {false, true}) {
    SCOPED_TRACE(beforeStart ? "cancelled before it started" : "cancelled while waiting");
    std::atomic<int> completions{0};
    std::promise<SyncCloudResult<SyncItem>> promise;
    auto future = promise.get_future();
    auto downloader = std::make_shared<FileDownloader>(
        setup(), [&promise, &completions](SyncCloudResult<SyncItem> result) {
          if (completions++ == 0) promise.set_value(std::move(result));
        });
    if (beforeStart) {
      downloader->cancel();
      downloader->start();
    } else {
      downloader->start();
      for (int i = 0; i < 1000 && server_.requests().size() <= seen_; ++i) {
        std::this_thread::sleep_for(10ms);
      }
      ASSERT_GT(server_.requests().size(), seen_);
      downloader->progress()->cancel();
    }
    // Well before the server would answer.
    ASSERT_EQ(future.wait_for(15s), std::future_status::ready);
    auto result = future.get();
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().isCancellation()) << result.error().description();
    downloader->cancel();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(completions.load(), 1);
    EXPECT_FALSE(std::filesystem::exists(destination()));
    EXPECT_FALSE(resumeDataKept()) << "nothing arrived, so there is nothing to resume";
    EXPECT_TRUE(filesIn(downloads()).empty());
    received();
  }
}

TEST_F(FileDownloaderTest, DiskFailuresFailTheDownloadAndLeaveNothingBehind) {
  struct Case {
    const char* name;
    std::function<void(FileDownloader::Configuration&)> prepare;
    CannedResponse response;
    const char* logged;  // the start of the error logged
  };
  const Case cases[] = {
      {"resume data cannot be written",
       [this](FileDownloader::Configuration& configuration) {
         // A file where the folder of resume data should be.
         testing::writeFile(dir_ / "not-a-folder", "x");
         configuration.resumeDirectory = dir_ / "not-a-folder";
       },
       cutShort(), "Failed to write resumable data due to error "},
      {"the destination folder is missing",
       [this](FileDownloader::Configuration& configuration) {
         configuration.destination = dir_ / "missing" / "file.bin";
       },
       whole(), "Unable to move downloaded file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    answer([response = c.response](const RecordedRequest&) { return response; });
    auto configuration = setup();
    c.prepare(configuration);
    const auto target = configuration.destination;
    auto result = download(std::move(configuration));
    ASSERT_FALSE(result);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(filesIn(downloads()).empty()) << "the received bytes are not left behind";
    bool logged = false;
    for (const auto& entry : log_.second->entries()) {
      logged = logged || entry.message.starts_with(c.logged);
    }
    EXPECT_TRUE(logged);
    received();
  }
}

}  // namespace
}  // namespace tarnix::fileprovider

namespace tarnix::fileprovider {
namespace {

// What a server that honours "Range: bytes=a-b" answers.
CannedResponse servedRange(const RecordedRequest& request) {
  auto range = request.header("range");
  if (!range) return whole();
  const auto dash = range->find('-');
  const auto first = std::stoull(range->substr(6, dash - 6));
  const auto last =
      std::min<std::size_t>(std::stoull(range->substr(dash + 1)), kContent.size() - 1);
  return CannedResponse{
      206,
      {{"ETag", kEntityTag}, {"Content-Range", contentRange(first, last, kContent.size())}},
      kContent.substr(first, last - first + 1)};
}

class RangeDownloadTest : public FileDownloaderTest {
 protected:
  RangeDownload::Configuration rangeSetup(cloudfs::ByteRange range) {
    auto whole = retrying();
    RangeDownload::Configuration configuration;
    configuration.item = whole.item;
    configuration.groupID = whole.groupID;
    configuration.range = range;
    configuration.destination = destination();
    configuration.parameters = DownloadParameters{session_, whole.entryID, std::nullopt, false};
    configuration.logger = log_.first;
    configuration.errorHandler = whole.errorHandler;
    configuration.retryPolicy = whole.retryPolicy;
    configuration.clock = clock_;
    return configuration;
  }
};

// The range comes back as asked; a range the server cannot serve as asked brings the whole
// file; transient failures are asked again after their wait.
TEST_F(RangeDownloadTest, EachAnswerToARangeEndsInTheBytesItHoldsOrAFailure) {
  const cloudfs::ByteRange asked{1000, 500};
  const cloudfs::ByteRange all{0, static_cast<std::int64_t>(kContent.size())};
  struct Case {
    const char* name;
    Handler server;
    std::vector<std::chrono::milliseconds> waits;
    std::optional<cloudfs::ByteRange> delivered;  // none: fails
    std::vector<bool> ranged;
  };
  const Case cases[] = {
      {"the range", servedRange, {}, asked, {true}},
      {"the whole file instead", always(whole()), {}, all, {true}},
      {"a range the server cannot satisfy",
       inTurn({always(CannedResponse{416, {{"Content-Range", "bytes */262144"}}}), servedRange}),
       {},
       all,
       {true, false}},
      {"another range than the one asked for",
       inTurn({[](const RecordedRequest&) {
                 return CannedResponse{
                     206,
                     {{"ETag", kEntityTag},
                      {"Content-Range", contentRange(2000, 2499, kContent.size())}},
                     kContent.substr(2000, 500)};
               },
               servedRange}),
       {},
       all,
       {true, false}},
      {"dropped, then the range",
       inTurn({always(cutShort()), servedRange}),
       {500ms},
       asked,
       {true, true}},
      {"unavailable for 2 s, then the range",
       inTurn({always(unavailable("2")), servedRange}),
       {2s},
       asked,
       {true, true}},
      {"a bad gateway every time",
       always(CannedResponse{502}),
       {500ms, 1s, 2s},
       std::nullopt,
       {true, true, true, true}},
      {"another version", always(whole(kContent, "\"e2\"")), {}, std::nullopt, {true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(destination());
    answer(c.server);
    std::promise<SyncCloudResult<PartialFetchOutputContext>> promise;
    auto future = promise.get_future();
    auto download = std::make_shared<RangeDownload>(
        rangeSetup(asked), [&promise](SyncCloudResult<PartialFetchOutputContext> result) {
          promise.set_value(std::move(result));
        });
    download->start();
    ASSERT_NO_FATAL_FAILURE(letWaitsPass(c.waits));
    ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
    auto result = future.get();
    auto requests = received();
    ASSERT_EQ(requests.size(), c.ranged.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i].header("range").has_value(), c.ranged[i]) << "request " << i;
      if (c.ranged[i]) {
        EXPECT_EQ(requests[i].header("range"), "bytes=1000-1499");
      }
    }
    if (!c.delivered) {
      EXPECT_FALSE(result);
      EXPECT_FALSE(std::filesystem::exists(destination()));
      continue;
    }
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_EQ(result->range, *c.delivered);
    EXPECT_TRUE(testing::readFile(destination()) ==
                kContent.substr(static_cast<std::size_t>(c.delivered->location),
                                static_cast<std::size_t>(c.delivered->length)))
        << "the bytes differ";
  }
  EXPECT_TRUE(filesIn(downloads()).empty()) << "nothing of the transfers stays behind";
}

}  // namespace
}  // namespace tarnix::fileprovider
