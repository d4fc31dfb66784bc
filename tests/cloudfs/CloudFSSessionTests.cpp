// CloudFSSession against a local HTTPS server: request ids, credentials, the callback queue,
// downloads, uploads and requests that cannot be built.

#include <gtest/gtest.h>

#include <future>

#include "base/Hash.hpp"
#include "base/Uuid.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/requests/NamespaceRequests.hpp"
#include "cloudfs/requests/ServiceRequests.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TempDir.hpp"
#include "support/TestHTTPSServer.hpp"

using namespace tarnix::cloudfs;
using namespace tarnix::testing;
using namespace std::chrono_literals;

namespace {

using Auth = CloudFSSessionConfiguration::Authentication;

/// A request that brings its own request id, which the session must replace.
class SelfStampedRequest final : public CloudFSRequestPrototype {
 public:
  std::string path() const override { return "/stamped"; }
  tarnix::base::HTTPMethod method() const override { return tarnix::base::HTTPMethod::get; }
  HTTPHeaders headers() const override { return {{"X-Tarnix-Request-Id", "fixed"}}; }
};

class CloudFSSessionTest : public ::testing::Test {
 protected:
  CloudFSSessionTest() {
    TarnixURLSession::Configuration configuration;
    configuration.additionalCAFile = server_.caFile();
    configuration.downloadDirectory = dir_.path();
    urlSession_ = std::make_shared<TarnixURLSession>(
        tarnix::base::Logger::null(),
        TarnixUserAgent("device", "1.0.0", "1", {"en_US", "6.1.0", "x86_64"}), "trace", nullptr,
        configuration);
  }

  std::shared_ptr<CloudFSSession> session(std::optional<Auth> authentication) {
    CloudFSSessionFactory factory(urlSession_, log_.first);
    return factory.makeSession({"127.0.0.1:" + std::to_string(server_.port()), authentication});
  }

  template <class T>
  static T wait(std::promise<T>& promise) {
    auto future = promise.get_future();
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }

  TestHTTPSServer server_{[](const RecordedRequest& r) {
    if (r.target.starts_with("/rest/public/v1/fsc/folders/")) {
      return CannedResponse(200, {{"ETag", "\"t\""}}, R"({"ok":true})");
    }
    return CannedResponse(201, {}, "created:" + r.body);
  }};
  TempDir dir_{"tarnix-cfs"};
  std::shared_ptr<TarnixURLSession> urlSession_;
  std::pair<tarnix::base::Logger, std::shared_ptr<CapturingLogSink>> log_ =
      CapturingLogSink::makeLogger();
};

TEST_F(CloudFSSessionTest, StampsRequestIdAndCredentialsAndCompletesOnItsQueue) {
  struct Case {
    std::optional<Auth> authentication;
    std::optional<std::string> authorization;
  };
  const Case cases[] = {
      {Auth::oauth("tok-1"), "OAUTH oauth_token=tok-1,oauth_version=2.0"},
      {Auth::basic("ann", "p\xC3\xA4ss:w"),
       "Basic " + tarnix::base::base64Encode(std::string("ann:p\xC3\xA4ss:w"))},
      {Auth::basic("ann", std::string("bad\xff")), std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    auto cfs = session(c.authentication);
    ListingByIdRequest request("f1");
    request.lastETag = "\"old\"";
    std::promise<std::pair<bool, std::expected<CloudFSResponse, CloudFSSessionError>>> done;
    auto task = cfs->send(request, TarnixURLRequestOptions::none(), [&](auto result) {
      done.set_value({cfs->callbackQueue()->isCurrent(), std::move(result)});
    });
    auto [onQueue, result] = wait(done);
    EXPECT_TRUE(onQueue);
    ASSERT_TRUE(result.has_value()) << describe(result.error());
    EXPECT_EQ(result->httpResponse.statusCode, 200);
    EXPECT_EQ(result->body, R"({"ok":true})");

    auto received = server_.requests().back();
    EXPECT_EQ(received.target, "/rest/public/v1/fsc/folders/f1");
    EXPECT_EQ(received.header("If-None-Match"), "\"old\"");
    EXPECT_EQ(received.header("Authorization"), c.authorization);
    ASSERT_TRUE(task.requestId.has_value());
    EXPECT_EQ(received.header("X-Tarnix-Request-Id"), task.requestId);
    EXPECT_EQ(tarnix::base::normalizedUuid(*task.requestId), task.requestId);
  }
  // No credential reached a log line.
  auto logged = log_.second->allText();
  EXPECT_EQ(logged.find("tok-1"), std::string::npos);
  EXPECT_EQ(logged.find("OAUTH"), std::string::npos);
  EXPECT_EQ(logged.find("Basic"), std::string::npos);
}

TEST_F(CloudFSSessionTest, ReplacesARequestIdTheRequestBrings) {
  auto cfs = session(std::nullopt);
  std::promise<bool> done;
  auto task = cfs->send(SelfStampedRequest(), TarnixURLRequestOptions::none(),
                        [&](auto result) { done.set_value(result.has_value()); });
  EXPECT_TRUE(wait(done));
  ASSERT_TRUE(task.requestId.has_value());
  EXPECT_NE(*task.requestId, "fixed");
  EXPECT_EQ(server_.requests().back().header("X-Tarnix-Request-Id"), task.requestId);
}

TEST_F(CloudFSSessionTest, AnUnbuildableRequestFailsOnTheQueueAndSendsNothing) {
  CloudFSSessionFactory factory(urlSession_, log_.first);
  auto cfs = factory.makeSession({"not a host", Auth::oauth("t")});
  std::promise<std::pair<bool, std::expected<CloudFSResponse, CloudFSSessionError>>> done;
  auto task =
      cfs->send(ServiceDiscoveryRequest(), TarnixURLRequestOptions::none(), [&](auto result) {
        done.set_value({cfs->callbackQueue()->isCurrent(), std::move(result)});
      });
  EXPECT_EQ(task.urlSessionTask, nullptr);
  EXPECT_FALSE(task.requestId.has_value());
  auto [onQueue, result] = wait(done);
  EXPECT_TRUE(onQueue);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(std::get<CloudFSError>(result.error()),
            CloudFSError::invalidURL("/rest/public/1.0/servicediscovery"));
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(CloudFSSessionTest, DownloadsUploadsAndAwaits) {
  auto cfs = session(Auth::oauth("tok"));
  std::promise<std::expected<CloudFSDownload, CloudFSSessionError>> downloaded;
  cfs->download(CreateFolderRequest("p", "n"), TarnixURLRequestOptions::none(),
                [&](auto result) { downloaded.set_value(std::move(result)); });
  auto download = wait(downloaded);
  ASSERT_TRUE(download.has_value()) << describe(download.error());
  std::string expected = R"(created:{"action":"add_folder","name":"n"})";
  EXPECT_EQ(download->response.downloadedFileSize, static_cast<std::int64_t>(expected.size()));
  EXPECT_EQ(readFile(download->location), expected);

  writeFile(dir_ / "body.bin", "file body");
  std::promise<std::expected<CloudFSResponse, CloudFSSessionError>> uploaded;
  cfs->upload(DuplicateItemRequest("/x"), dir_ / "body.bin", TarnixURLRequestOptions::none(),
              [&](auto result) { uploaded.set_value(std::move(result)); });
  auto upload = wait(uploaded);
  ASSERT_TRUE(upload.has_value());
  EXPECT_EQ(upload->body, "created:file body");
  EXPECT_EQ(server_.requests().back().header("Content-Type"),
            "application/vnd.tarnix.fsi.item.create+json");

  auto future = cfs->data(DuplicateItemRequest("/y"), TarnixURLRequestOptions::none());
  ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
  auto awaited = future.get();
  ASSERT_TRUE(awaited.has_value());
  EXPECT_EQ(awaited->second.statusCode, 201);
  EXPECT_EQ(awaited->first, R"(created:{"sourceFilePath":"/y","_method":"DUPLICATE"})");
}

}  // namespace

namespace {

TEST(CloudFSSessionConfigurationTest, ADriveGivesItsHostAndTheRequestFormOfItsCredentials) {
  using Authentication = CloudFSSessionConfiguration::Authentication;
  using tarnix::common::AccountAuthentication;
  struct Case {
    const char* name;
    std::optional<AccountAuthentication> stored;
    std::optional<std::string> domain;
    CloudFSSessionConfiguration expected;
  };
  const std::vector<Case> cases = {
      {"no credentials", std::nullopt, std::nullopt, {"acme.example", std::nullopt}},
      {"OAuth tokens",
       AccountAuthentication::oauth("access", "refresh"),
       std::nullopt,
       {"acme.example", Authentication::oauth("access")}},
      {"basic password",
       AccountAuthentication::basic("pw"),
       std::nullopt,
       {"acme.example", Authentication::basic("ada", "pw")}},
      {"other host",
       AccountAuthentication::basic("pw"),
       "sync-acme.example",
       {"sync-acme.example", Authentication::basic("ada", "pw")}},
  };
  for (const auto& c : cases) {
    tarnix::common::Drive drive;
    drive.domain = "acme.example";
    drive.userName = "ada";
    drive.authentication = c.stored;
    auto made = CloudFSSessionConfiguration::forDrive(drive, c.domain);
    EXPECT_EQ(made.domain, c.expected.domain) << c.name;
    EXPECT_EQ(made.authentication, c.expected.authentication) << c.name;
  }
}

}  // namespace
