// The transport through a real proxy (tinyproxy on loopback) and the invalidation of cached
// transfer configurations when the proxy settings change.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/Hash.hpp"
#include "cloudfs/TarnixURLSession.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ChildProcess.hpp"
#include "support/TempDir.hpp"
#include "support/TestHTTPSServer.hpp"

using namespace tarnix::cloudfs;
using namespace tarnix::testing;
using namespace std::chrono_literals;
using tarnix::common::URLSessionProxyConfiguration;

namespace {

std::filesystem::path findTinyproxy() {
  for (const char* candidate : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy"}) {
    if (std::filesystem::exists(candidate)) return candidate;
  }
  return {};
}

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto tinyproxy = findTinyproxy();
    if (tinyproxy.empty()) GTEST_SKIP() << "tinyproxy is not installed (scripts/install-deps)";
    proxyPort_ = unusedLoopbackPort();
    writeFile(dir_ / "tinyproxy.conf",
              "Port " + std::to_string(proxyPort_) + "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" +
                  (dir_ / "tinyproxy.log").string() +
                  "\"\nLogLevel Connect\nMaxClients 20\nAllow 127.0.0.1\nBasicAuth proxyuser "
                  "s3cret\n");
    proxy_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        tinyproxy.string(), "-d", "-c", (dir_ / "tinyproxy.conf").string()});
    ASSERT_GT(proxy_->pid(), 0);
    ASSERT_TRUE(waitForLoopbackPort(proxyPort_)) << "tinyproxy did not start";

    TarnixURLSession::Configuration configuration;
    configuration.additionalCAFile = server_.caFile();
    configuration.downloadDirectory = dir_.path();
    session_ = std::make_unique<TarnixURLSession>(
        log_.first, TarnixUserAgent("device", "1.0.0", "1", {"en_US", "6.1.0", "x86_64"}), "trace",
        settings_, configuration);
  }

  URLSessionProxyConfiguration throughProxy() const {
    URLSessionProxyConfiguration proxy;
    proxy.proxyEnabled = true;
    proxy.address = "127.0.0.1";
    proxy.port = proxyPort_;
    proxy.requiresAuthentication = true;
    proxy.username = "proxyuser";
    proxy.password = "s3cret";
    return proxy;
  }

  std::expected<URLSessionDataResult, URLSessionError> get(const std::string& path) {
    URLRequest request;
    request.url = server_.baseURL() + path;
    auto future = session_->data(request, TarnixURLRequestOptions::none());
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }

  int connectLines() const {
    auto log = readFile(dir_ / "tinyproxy.log");
    int count = 0;
    for (std::size_t pos = 0; (pos = log.find("): CONNECT ", pos)) != std::string::npos; ++pos)
      ++count;
    return count;
  }

  void waitForLog(const std::string& message, std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (log_.second->entries(message).size() < count &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
  }

  TempDir dir_{"tarnix-proxy"};
  int proxyPort_ = 0;
  std::unique_ptr<ChildProcess> proxy_;
  TestHTTPSServer server_{[](const RecordedRequest&) { return CannedResponse(200, {}, "ok"); }};
  // The shared preferences as the desktop application writes them; this object's own writes
  // reach its observers on the writing thread.
  std::shared_ptr<tarnix::common::DesktopAppGroupPreferences> settings_ =
      std::make_shared<tarnix::common::DesktopAppGroupPreferences>(
          tarnix::platform::UserDefaults::open(dir_ / "preferences.json",
                                               tarnix::base::Logger::null()),
          tarnix::base::Logger::null());
  std::pair<tarnix::base::Logger, std::shared_ptr<CapturingLogSink>> log_ =
      CapturingLogSink::makeLogger();
  std::unique_ptr<TarnixURLSession> session_;
};

TEST_F(ProxyTest, TrafficGoesThroughTheProxyAndTheSessionsAreRemadeOncePerChange) {
  const std::string invalidated = "Proxy settings changed, invalidating URL sessions";
  ASSERT_TRUE(get("/direct").has_value());
  EXPECT_EQ(connectLines(), 0);
  EXPECT_EQ(session_->platformSessionsCreated(), 1);

  settings_->setNetworkProxy(throughProxy());
  waitForLog(invalidated, 1);
  auto proxied = get("/proxied");
  ASSERT_TRUE(proxied.has_value()) << describe(proxied.error());
  EXPECT_EQ(proxied->body, "ok");
  EXPECT_GE(connectLines(), 1) << readFile(dir_ / "tinyproxy.log");
  EXPECT_EQ(session_->platformSessionsCreated(), 2);
  // The proxy's credentials went to the proxy only.
  auto received = server_.requests();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_FALSE(received[1].header("Proxy-Authorization").has_value());

  // An equal value changes nothing; a different one drops the cached sessions once.
  settings_->setNetworkProxy(throughProxy());
  settings_->setNetworkProxy(URLSessionProxyConfiguration{});
  waitForLog(invalidated, 2);
  auto lines = log_.second->entries(invalidated);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(*lines[1].metadata->get("sessions")->asUInt(), 1u);
  int connectsBefore = connectLines();
  ASSERT_TRUE(get("/direct-again").has_value());
  EXPECT_EQ(connectLines(), connectsBefore);
  EXPECT_EQ(session_->platformSessionsCreated(), 3);

  // Neither the password nor the header made of it reached a log line.
  auto logged = log_.second->allText();
  EXPECT_EQ(logged.find("s3cret"), std::string::npos);
  EXPECT_EQ(logged.find(tarnix::base::base64Encode(std::string("proxyuser:s3cret"))),
            std::string::npos);
}

TEST_F(ProxyTest, WrongProxyCredentialsFailTheTransfer) {
  auto proxy = throughProxy();
  proxy.password = "wrong";
  settings_->setNetworkProxy(proxy);
  waitForLog("Proxy settings changed, invalidating URL sessions", 1);
  auto result = get("/refused");
  EXPECT_FALSE(result.has_value());
  EXPECT_TRUE(server_.requests().empty());
}

}  // namespace
