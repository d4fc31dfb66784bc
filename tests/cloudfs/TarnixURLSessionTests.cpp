// The transport against a local HTTPS server: headers it adds, methods and bodies, redirects,
// downloads (also resumed), streamed uploads, progress, cancellation and the failures a bad
// server or network causes.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "base/Uuid.hpp"
#include "cloudfs/TarnixURLSession.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TempDir.hpp"
#include "support/TestHTTPSServer.hpp"

using namespace tarnix::cloudfs;
using namespace tarnix::testing;
using namespace std::chrono_literals;
using tarnix::base::HTTPMethod;

namespace {

template <class T>
T waitFor(std::future<T>& future, std::chrono::seconds timeout = 30s) {
  if (future.wait_for(timeout) != std::future_status::ready) {
    ADD_FAILURE() << "no completion in time";
    std::abort();
  }
  return future.get();
}

class TarnixURLSessionTest : public ::testing::Test {
 protected:
  TarnixURLSessionTest() : server_([this](const RecordedRequest& r) { return handler_(r); }) {}

  std::unique_ptr<TarnixURLSession> makeSession(
      bool trustServer = true, std::size_t maximumBodySize = kMaximumResponseBodySize) {
    TarnixURLSession::Configuration configuration;
    if (trustServer) configuration.additionalCAFile = server_.caFile();
    configuration.downloadDirectory = downloads_.path();
    configuration.maximumBodySize = maximumBodySize;
    UserAgentSystemInfo info{"en_US", "6.1.0", "x86_64"};
    return std::make_unique<TarnixURLSession>(
        logger_, TarnixUserAgent("device-1", "1.2.3", "1.2.3+77", info), "lifecycle-1", nullptr,
        configuration);
  }

  URLRequest request(const std::string& path, HTTPMethod method = HTTPMethod::get) {
    URLRequest r;
    r.url = server_.baseURL() + path;
    r.method = method;
    return r;
  }

  std::expected<URLSessionDataResult, URLSessionError> send(
      TarnixURLSession& session, URLRequest r,
      TarnixURLRequestOptions options = TarnixURLRequestOptions::none()) {
    auto future = session.data(std::move(r), options);
    return waitFor(future);
  }

  std::function<CannedResponse(const RecordedRequest&)> handler_ = [](const RecordedRequest&) {
    return CannedResponse{200, {{"Content-Type", "text/plain"}}, "hello"};
  };
  TestHTTPSServer server_;
  TempDir downloads_{"tarnix-downloads"};
  std::pair<tarnix::base::Logger, std::shared_ptr<CapturingLogSink>> log_ =
      CapturingLogSink::makeLogger();
  tarnix::base::Logger& logger_ = log_.first;
};

TEST_F(TarnixURLSessionTest, StampsIdentificationHeadersAndKeepsAGivenRequestId) {
  handler_ = [](const RecordedRequest&) {
    return CannedResponse{200, {{"x-tarnix-request-id", "echo"}, {"ETag", "\"v1\""}}, "body"};
  };
  auto session = makeSession();
  auto withId = request("/rest/public/1.0/servicediscovery");
  withId.setValue("given-id", "X-Tarnix-Request-Id");
  auto result = send(*session, withId);
  ASSERT_TRUE(result.has_value()) << describe(result.error());
  EXPECT_EQ(result->response.statusCode, 200);
  EXPECT_EQ(result->body, "body");
  EXPECT_EQ(result->response.value("etag"), "\"v1\"");
  EXPECT_EQ(result->response.value("X-Tarnix-Request-Id"), "echo");

  ASSERT_TRUE(send(*session, request("/second")).has_value());
  auto received = server_.requests();
  ASSERT_EQ(received.size(), 2u);
  const auto& first = received[0];
  EXPECT_EQ(first.target, "/rest/public/1.0/servicediscovery");
  EXPECT_EQ(first.header("X-Tarnix-Request-Id"), "given-id");
  EXPECT_EQ(first.header("User-Agent"), "Tarnix/1.2.3 (TXD; 77; en_US; Linux; 6.1.0; x86_64)");
  EXPECT_EQ(first.header("X-Tarnix-Action-Source"), "TXD");
  EXPECT_EQ(first.header("Tarnix-Client-Id"), "device-1");
  EXPECT_EQ(first.header("X-Tarnix-Application-Lifecycle-Trace"), "lifecycle-1");
  EXPECT_FALSE(first.header("Proxy-Authorization").has_value());
  auto generated = received[1].header("X-Tarnix-Request-Id").value_or("");
  EXPECT_EQ(tarnix::base::normalizedUuid(generated), generated) << generated;

  auto sent = log_.second->entries("Sending request");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].metadata->get("X-Tarnix-Request-Id")->asString()[0], "given-id");
  EXPECT_EQ(*sent[0].metadata->get("url")->asString(),
            server_.baseURL() + "/rest/public/1.0/servicediscovery");
}

TEST_F(TarnixURLSessionTest, SendsEachMethodWithItsBody) {
  struct Case {
    HTTPMethod method;
    std::optional<std::string> body;
    std::optional<std::string> contentType;
  };
  const Case cases[] = {
      {HTTPMethod::get, std::nullopt, std::nullopt},
      {HTTPMethod::head, std::nullopt, std::nullopt},
      {HTTPMethod::delete_, std::nullopt, std::nullopt},
      {HTTPMethod::post, std::nullopt, std::nullopt},
      {HTTPMethod::post, R"({"action":"add_folder"})", "application/json"},
      {HTTPMethod::patch, "a=1&b=2", "application/x-www-form-urlencoded; charset=utf-8"},
      {HTTPMethod::delete_, "payload", std::nullopt},
  };
  auto session = makeSession();
  for (const auto& c : cases) {
    auto r = request("/method");
    r.method = c.method;
    r.body = c.body;
    if (c.contentType) r.setValue(*c.contentType, "Content-Type");
    auto result = send(*session, r);
    ASSERT_TRUE(result.has_value()) << c.method.rawValue << ": " << describe(result.error());
    EXPECT_EQ(result->body, c.method == HTTPMethod::head ? "" : "hello");
  }
  auto received = server_.requests();
  ASSERT_EQ(received.size(), std::size(cases));
  for (std::size_t i = 0; i < received.size(); ++i) {
    SCOPED_TRACE(cases[i].method.rawValue + " " + cases[i].body.value_or("(no body)"));
    EXPECT_EQ(received[i].method, cases[i].method.rawValue);
    EXPECT_EQ(received[i].body, cases[i].body.value_or(""));
    EXPECT_EQ(received[i].header("Content-Type"), cases[i].contentType);
    EXPECT_FALSE(received[i].header("Expect").has_value());
  }
}

TEST_F(TarnixURLSessionTest, RedirectsAreFollowedUnlessRejected) {
  handler_ = [](const RecordedRequest& r) {
    if (r.target == "/old") return CannedResponse{302, {{"Location", "/new"}}, "moved"};
    return CannedResponse{200, {}, "target"};
  };
  auto session = makeSession();
  auto followed = send(*session, request("/old"));
  ASSERT_TRUE(followed.has_value());
  EXPECT_EQ(followed->response.statusCode, 200);
  EXPECT_EQ(followed->body, "target");
  EXPECT_EQ(server_.requests().size(), 2u);

  auto rejected = send(*session, request("/old"), TarnixURLRequestOptions::rejectRedirects());
  ASSERT_TRUE(rejected.has_value());
  EXPECT_EQ(rejected->response.statusCode, 302);
  EXPECT_EQ(rejected->response.value("Location"), "/new");
  EXPECT_EQ(rejected->body, "moved");
  EXPECT_EQ(server_.requests().size(), 3u);
  EXPECT_EQ(session->platformSessionsCreated(), 2);
}

// A redirect must not carry the request (and its credentials) out of TLS: one to a plain
// "http" URL fails without a request there, one to "https" is followed.
TEST_F(TarnixURLSessionTest, RedirectsAreFollowedToHTTPSOnly) {
  const std::string plain = "http://127.0.0.1:" + std::to_string(unusedLoopbackPort()) + "/new";
  handler_ = [&](const RecordedRequest& r) {
    if (r.target == "/to-plain") return CannedResponse{301, {{"Location", plain}}, "moved"};
    if (r.target == "/to-tls") {
      return CannedResponse{307, {{"Location", server_.baseURL() + "/new"}}, "moved"};
    }
    return CannedResponse{200, {}, "target"};
  };
  auto session = makeSession();
  auto refused = send(*session, request("/to-plain"));
  ASSERT_FALSE(refused.has_value());
  ASSERT_TRUE(std::holds_alternative<URLError>(refused.error())) << describe(refused.error());
  const auto& error = std::get<URLError>(refused.error());
  EXPECT_EQ(error.code, URLError::Code::appTransportSecurityRequiresSecureConnection)
      << error.description();
  EXPECT_EQ(error.description(),
            "NSURLErrorDomain -1022: refused to follow a redirect to a URL that is not https");
  EXPECT_FALSE(error.isConnectivityFailure());

  auto followed = send(*session, request("/to-tls"));
  ASSERT_TRUE(followed.has_value()) << describe(followed.error());
  EXPECT_EQ(followed->body, "target");
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2].target, "/new");

  // The caller that asked for the 3xx itself still gets it.
  auto rejected = send(*session, request("/to-plain"), TarnixURLRequestOptions::rejectRedirects());
  ASSERT_TRUE(rejected.has_value()) << describe(rejected.error());
  EXPECT_EQ(rejected->response.statusCode, 301);
}

// A body held in memory is limited, counted as decoded; a download goes to a file and is not.
TEST_F(TarnixURLSessionTest, ABodyLargerThanTheLimitFailsWithATypedError) {
  // 5000 bytes of "a", gzip-compressed to 41.
  static const char kZipped[] =
      "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xed\xc1\x31\x01\x00\x00\x00\xc2\xa0\xac"
      "\xeb\x5f\xc2\x14\x7e\x40\x01\x00\x00\x00\x00\x6f\x03\x76\x59\xf4\x4c\x88\x13\x00\x00";
  handler_ = [](const RecordedRequest& r) {
    if (r.target == "/zipped") {
      return CannedResponse{200, {{"Content-Encoding", "gzip"}}, std::string(kZipped, 41)};
    }
    const auto size = std::stoul(r.target.substr(1));
    return CannedResponse{200, {}, std::string(size, 'x')};
  };
  constexpr std::size_t kLimit = 1000;
  auto session = makeSession(true, kLimit);
  struct Case {
    std::string path;
    bool fits;
  };
  const Case cases[] = {{"/1000", true}, {"/1001", false}, {"/300000", false}, {"/zipped", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto result = send(*session, request(c.path));
    if (c.fits) {
      ASSERT_TRUE(result.has_value()) << describe(result.error());
      EXPECT_EQ(result->body.size(), kLimit);
      continue;
    }
    ASSERT_FALSE(result.has_value());
    ASSERT_TRUE(std::holds_alternative<URLError>(result.error())) << describe(result.error());
    const auto& error = std::get<URLError>(result.error());
    EXPECT_EQ(error.code, URLError::Code::dataLengthExceedsMaximum) << error.description();
    EXPECT_EQ(error.description(),
              "NSURLErrorDomain -1103: the response body is larger than 1000 bytes");
    EXPECT_FALSE(error.resumeData.has_value());
  }

  auto promise = std::make_shared<std::promise<std::int64_t>>();
  auto future = promise->get_future();
  session
      ->downloadTask(request("/300000"), TarnixURLRequestOptions::none(),
                     [promise](auto r) { promise->set_value(r ? r->fileSize : -1); })
      ->resume();
  EXPECT_EQ(waitFor(future), 300000);
}

TEST_F(TarnixURLSessionTest, BadServersAndNetworksGiveTypedErrors) {
  handler_ = [](const RecordedRequest& r) {
    if (r.target == "/garbage") {
      CannedResponse c;
      c.raw = "SSH-2.0-OpenSSH_9.2\r\nthis is not HTTP at all\r\n";
      return c;
    }
    if (r.target == "/truncated") {
      CannedResponse c{200, {}, std::string(4000, 'x')};
      c.truncate = true;
      return c;
    }
    return CannedResponse{};
  };
  auto session = makeSession();
  auto untrusting = makeSession(false);

  auto garbage = send(*session, request("/garbage"));
  ASSERT_FALSE(garbage.has_value());
  ASSERT_TRUE(std::holds_alternative<TarnixURLError>(garbage.error())) << describe(garbage.error());
  EXPECT_EQ(std::get<TarnixURLError>(garbage.error()).kind,
            TarnixURLError::Kind::badServerResponse);
  EXPECT_EQ(log_.second->entries("Received a response that is not HTTP").size(), 1u);

  struct Case {
    TarnixURLSession* session;
    std::string url;
    URLError::Code code;
    bool connectivity;
  };
  const Case cases[] = {
      {session.get(), server_.baseURL() + "/truncated", URLError::Code::networkConnectionLost,
       true},
      {session.get(), "https://127.0.0.1:" + std::to_string(unusedLoopbackPort()) + "/",
       URLError::Code::cannotConnectToHost, true},
      {untrusting.get(), server_.baseURL() + "/", URLError::Code::serverCertificateUntrusted,
       false},
      {session.get(), "ftp://127.0.0.1/file", URLError::Code::unsupportedURL, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    URLRequest r;
    r.url = c.url;
    auto result = send(*c.session, r);
    ASSERT_FALSE(result.has_value());
    ASSERT_TRUE(std::holds_alternative<URLError>(result.error())) << describe(result.error());
    const auto& error = std::get<URLError>(result.error());
    EXPECT_EQ(error.code, c.code) << error.description();
    EXPECT_EQ(error.isConnectivityFailure(), c.connectivity);
    EXPECT_FALSE(isCancellation(result.error()));
  }
}

TEST_F(TarnixURLSessionTest, CancellationCompletesOnceWithTheCancelledError) {
  handler_ = [](const RecordedRequest&) {
    CannedResponse c{200, {}, "late"};
    c.delay = 10s;
    return c;
  };
  auto session = makeSession();
  std::promise<std::expected<URLSessionDataResult, URLSessionError>> running;
  std::atomic<int> calls{0};
  auto task =
      session->dataTask(request("/slow"), TarnixURLRequestOptions::none(), [&](auto result) {
        if (calls++ == 0) running.set_value(std::move(result));
      });
  task->resume();
  while (server_.requests().empty()) std::this_thread::sleep_for(10ms);
  auto started = std::chrono::steady_clock::now();
  task->cancel();
  task->cancel();
  auto future = running.get_future();
  auto result = waitFor(future);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(isCancellation(result.error()));
  EXPECT_EQ(std::get<URLError>(result.error()).rawCode(), -999);

  // A task cancelled before it started completes as cancelled too, and sends nothing.
  std::promise<std::expected<URLSessionDataResult, URLSessionError>> suspended;
  auto neverStarted = session->dataTask(request("/never"), TarnixURLRequestOptions::none(),
                                        [&](auto r) { suspended.set_value(std::move(r)); });
  neverStarted->cancel();
  auto future2 = suspended.get_future();
  auto result2 = waitFor(future2);
  ASSERT_FALSE(result2.has_value());
  EXPECT_TRUE(isCancellation(result2.error()));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(server_.requests().size(), 1u);
}

TEST_F(TarnixURLSessionTest, DestroyingTheSessionCancelsWhatIsRunning) {
  handler_ = [](const RecordedRequest&) {
    CannedResponse c;
    c.delay = 10s;
    return c;
  };
  auto session = makeSession();
  std::optional<std::expected<URLSessionDataResult, URLSessionError>> outcome;
  auto task = session->dataTask(request("/slow"), TarnixURLRequestOptions::none(),
                                [&](auto result) { outcome = std::move(result); });
  task->resume();
  while (server_.requests().empty()) std::this_thread::sleep_for(10ms);
  session.reset();  // waits for the completion
  ASSERT_TRUE(outcome.has_value());
  ASSERT_FALSE(outcome->has_value());
  EXPECT_TRUE(isCancellation(outcome->error()));
}

TEST_F(TarnixURLSessionTest, DownloadsIntoAFileTheCallerOwnsAndReportsProgress) {
  std::string content(300'000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  handler_ = [&](const RecordedRequest& r) {
    EXPECT_FALSE(r.header("Accept-Encoding").has_value());
    return CannedResponse{200, {}, content};
  };
  auto session = makeSession();
  std::promise<std::expected<URLSessionDownloadResult, URLSessionError>> done;
  std::atomic<std::int64_t> lastReceived{0};
  auto task = session->downloadTask(request("/file"), TarnixURLRequestOptions::none(),
                                    [&](auto result) { done.set_value(std::move(result)); });
  task->setProgressHandler(
      [&](const URLSessionProgress& progress) { lastReceived = progress.bytesReceived; });
  task->resume();
  auto future = done.get_future();
  auto result = waitFor(future);
  ASSERT_TRUE(result.has_value()) << describe(result.error());
  EXPECT_EQ(result->fileSize, 300'000);
  EXPECT_EQ(result->location.parent_path(), downloads_.path());
  EXPECT_EQ(readFile(result->location), content);
  EXPECT_EQ(lastReceived.load(), 300'000);
  EXPECT_EQ(task->state(), URLSessionTask::State::completed);
}

// Callers often set the handler after resume(), when a fast answer may already have finished the
// task; a handler kept then would keep whatever it captures (often the task's owner) for good.
TEST_F(TarnixURLSessionTest, AProgressHandlerSetOnAFinishedTaskIsNotKept) {
  auto session = makeSession();
  std::promise<void> done;
  auto task = session->dataTask(request("/small"), TarnixURLRequestOptions::none(),
                                [&](auto) { done.set_value(); });
  task->resume();
  auto future = done.get_future();
  waitFor(future);
  ASSERT_EQ(task->state(), URLSessionTask::State::completed);

  auto captured = std::make_shared<int>(1);
  std::weak_ptr<int> watch = captured;
  task->setProgressHandler([captured](const URLSessionProgress&) {});
  captured.reset();
  EXPECT_TRUE(watch.expired());
}

// Resume data keeps no credentials (it lies on disk); the resumed request carries those of
// its own time.
TEST_F(TarnixURLSessionTest, ResumesADownloadThatBrokeOff) {
  std::string content(100'000, 'a');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  std::atomic<bool> honourRange{true};
  handler_ = [&](const RecordedRequest& r) {
    auto range = r.header("Range");
    if (!range) {
      CannedResponse c{200, {{"ETag", "\"e1\""}}, content};
      c.truncate = true;  // half the body, then the connection drops
      return c;
    }
    EXPECT_EQ(r.header("If-Range"), "\"e1\"");
    EXPECT_EQ(r.header("Authorization"), "Bearer refreshed");
    EXPECT_EQ(r.header("X-Kept"), "kept");
    if (!honourRange) return CannedResponse{200, {{"ETag", "\"e2\""}}, content};
    auto start = std::stoul(range->substr(std::string("bytes=").size()));
    return CannedResponse{206,
                          {{"ETag", "\"e1\""},
                           {"Content-Range", "bytes " + std::to_string(start) + "-" +
                                                 std::to_string(content.size() - 1) + "/" +
                                                 std::to_string(content.size())}},
                          content.substr(start)};
  };
  auto session = makeSession();
  auto download = [&](auto start) {
    std::promise<std::expected<URLSessionDownloadResult, URLSessionError>> done;
    auto task = start([&](auto result) { done.set_value(std::move(result)); });
    task->resume();
    auto future = done.get_future();
    return waitFor(future);
  };
  for (bool honour : {true, false}) {
    SCOPED_TRACE(honour ? "server sends the rest" : "server starts over");
    honourRange = honour;
    auto r = request("/big");
    r.setValue("Bearer old-secret", "Authorization");
    r.setValue("Basic proxy-secret", "Proxy-Authorization");
    r.setValue("kept", "X-Kept");
    auto broken = download([&](auto completion) {
      return session->downloadTask(r, TarnixURLRequestOptions::none(), completion);
    });
    ASSERT_FALSE(broken.has_value());
    auto error = std::get<URLError>(broken.error());
    EXPECT_EQ(error.code, URLError::Code::networkConnectionLost);
    ASSERT_TRUE(error.resumeData.has_value());
    for (const char* secret : {"old-secret", "proxy-secret", "Authorization"}) {
      EXPECT_EQ(error.resumeData->find(secret), std::string::npos) << secret;
    }

    auto resumed = download([&](auto completion) {
      return session->downloadTask(
          *error.resumeData,
          [](URLRequest& resumedRequest) {
            resumedRequest.setValue("Bearer refreshed", "Authorization");
          },
          completion);
    });
    ASSERT_TRUE(resumed.has_value()) << describe(resumed.error());
    EXPECT_EQ(resumed->fileSize, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(readFile(resumed->location), content);
  }
  auto bad =
      download([&](auto completion) { return session->downloadTask("not json", {}, completion); });
  ASSERT_FALSE(bad.has_value());
}

TEST_F(TarnixURLSessionTest, UploadsFromBytesAndStreamsFromAFile) {
  std::string content(5 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
  TempDir dir;
  writeFile(dir / "upload.bin", content);
  auto session = makeSession();

  std::promise<std::expected<URLSessionDataResult, URLSessionError>> fileDone;
  std::atomic<std::int64_t> sent{0}, expected{0};
  auto r = request("/upload", HTTPMethod::post);
  r.setValue("application/octet-stream", "Content-Type");
  auto task = session->uploadTask(r, dir / "upload.bin", TarnixURLRequestOptions::extendedTimeout(),
                                  [&](auto result) { fileDone.set_value(std::move(result)); });
  task->setProgressHandler([&](const URLSessionProgress& p) {
    sent = p.bytesSent;
    expected = p.totalBytesExpectedToSend;
  });
  task->resume();
  auto future = fileDone.get_future();
  auto fromFile = waitFor(future);
  ASSERT_TRUE(fromFile.has_value()) << describe(fromFile.error());

  std::promise<std::expected<URLSessionDataResult, URLSessionError>> bytesDone;
  auto bytesTask = session->uploadTask(
      request("/bytes", HTTPMethod::patch), std::string("12345"), TarnixURLRequestOptions::none(),
      [&](auto result) { bytesDone.set_value(std::move(result)); });
  bytesTask->resume();
  auto future2 = bytesDone.get_future();
  ASSERT_TRUE(waitFor(future2).has_value());

  std::promise<std::expected<URLSessionDataResult, URLSessionError>> missingDone;
  auto missingTask = session->uploadTask(
      request("/missing", HTTPMethod::post), dir / "nope", TarnixURLRequestOptions::none(),
      [&](auto result) { missingDone.set_value(std::move(result)); });
  missingTask->resume();
  auto future3 = missingDone.get_future();
  auto missing = waitFor(future3);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(std::get<URLError>(missing.error()).code, URLError::Code::fileDoesNotExist);

  auto received = server_.requests();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].header("Content-Length"), std::to_string(content.size()));
  EXPECT_TRUE(received[0].body == content);
  EXPECT_EQ(received[1].method, "PATCH");
  EXPECT_EQ(received[1].body, "12345");
  EXPECT_EQ(sent.load(), static_cast<std::int64_t>(content.size()));
  EXPECT_EQ(expected.load(), static_cast<std::int64_t>(content.size()));
}

}  // namespace
