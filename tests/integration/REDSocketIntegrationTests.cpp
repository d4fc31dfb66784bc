// The real-time event socket end to end: the production transport connects over TLS to the
// emulator's event socket (found through service discovery, with the drive's credentials),
// publishes the initial id and the ids of changes, downloads the announced events, reconnects
// after the server closed it, stops at refused credentials, and its watchdog notices a server
// that no longer answers pings.

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "base/JSONValue.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/URLSessionSocket.hpp"
#include "cloudfs/requests/EventRequests.hpp"
#include "cloudfs/requests/ServiceRequests.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"
#include "fileprovider/events/REDSocket.hpp"
#include "platform/UserDefaults.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ChildProcess.hpp"
#include "support/EmulatorProcess.hpp"
#include "support/TempDir.hpp"
#include "support/TestHTTPSServer.hpp"

namespace tarnix::testing {
namespace {

using cloudfs::TarnixURLSession;
using cloudfs::URLRequest;
using fileprovider::REDEventBody;
using fileprovider::REDSocket;
using fileprovider::REDSocketEvent;
using namespace std::chrono_literals;

constexpr auto kWait = 20s;

/// Counts the sockets the real factory makes.
class CountingWebSocketFactory final : public cloudfs::WebSocketFactory {
 public:
  using cloudfs::WebSocketFactory::WebSocketFactory;
  std::shared_ptr<cloudfs::URLSessionSocket> makeSocket(
      URLRequest request, cloudfs::URLSessionSocket::EventHandler handler) override {
    ++made;
    return cloudfs::WebSocketFactory::makeSocket(std::move(request), std::move(handler));
  }
  std::atomic<int> made{0};
};

/// What a subscriber heard, with bounded waits.
class Heard {
 public:
  void add(const REDSocketEvent& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }
  /// Waits until `predicate` holds for what was heard; false after kWait.
  bool waitFor(const std::function<bool(const std::vector<REDSocketEvent>&)>& predicate) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return predicate(events_); });
  }
  bool waitForCount(REDSocketEvent::Kind kind, std::size_t count) {
    return waitFor([&](const auto& events) {
      return static_cast<std::size_t>(std::ranges::count_if(
                 events, [&](const auto& event) { return event.kind == kind; })) >= count;
    });
  }
  std::vector<REDSocketEvent> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<REDSocketEvent> events_;
};

class REDSocketIntegrationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto started = EmulatorProcess::start({.seed = "demo", .faultsFile = ""});
    ASSERT_TRUE(started) << started.error();
    emulator_ = std::move(*started);
  }
  static void TearDownTestSuite() { emulator_.reset(); }

  void SetUp() override {
    TarnixURLSession::Configuration configuration;
    const auto port = std::to_string(emulator_->port());
    configuration.hostMappings = {"sync-localhost:" + port + ":127.0.0.1:" + port};
    urlSession_ = makeURLSession(configuration);
    cfsSession_ = session(EmulatorProcess::kAliceToken);
    factory_ = std::make_shared<CountingWebSocketFactory>(cfsSession_, nullptr, log_.first);
  }
  void TearDown() override {
    if (socket_) socket_->stop();
    admin("DELETE", "/__admin/events");
  }

  static std::shared_ptr<TarnixURLSession> makeURLSession(
      TarnixURLSession::Configuration configuration,
      std::shared_ptr<const common::DesktopAppGroupPreferences> preferences = nullptr) {
    configuration.additionalCAFile = emulator_->caFile();
    configuration.downloadDirectory = emulator_->dataDir();
    return std::make_shared<TarnixURLSession>(
        base::Logger::null(),
        cloudfs::TarnixUserAgent("device-1", "1.0.0", "1", {"en_US", "6.1.0", "x86_64"}),
        "lifecycle", std::move(preferences), configuration);
  }

  /// The upgrades of the event socket the emulator received (their headers, lower-case names).
  std::vector<base::JSONValue> upgradeHeaders() {
    std::vector<base::JSONValue> headers;
    auto requests = base::parseJSON(admin("GET", "/__admin/requests"));
    EXPECT_TRUE(requests);
    if (!requests) return headers;
    for (const auto& request : *requests) {
      if (request["path"] == "/event/1.0/watch/file_system") headers.push_back(request["headers"]);
    }
    return headers;
  }

  std::shared_ptr<cloudfs::CloudFSSession> session(const std::string& token) {
    return std::make_shared<cloudfs::CloudFSSession>(
        urlSession_,
        cloudfs::CloudFSSessionConfiguration{
            emulator_->host(), cloudfs::CloudFSSessionConfiguration::Authentication::oauth(token)},
        base::Logger::null());
  }

  /// The events host as service discovery names it.
  std::string eventsServer() {
    auto future =
        cfsSession_->data(cloudfs::ServiceDiscoveryRequest(), cloudfs::TarnixURLRequestOptions{});
    EXPECT_EQ(future.wait_for(kWait), std::future_status::ready);
    auto answer = future.get();
    EXPECT_TRUE(answer);
    if (!answer) return {};
    auto decoded = cloudfs::ServiceDiscoveryResponse::decode(
        cloudfs::CloudFSResponse{answer->second, answer->first, std::nullopt});
    EXPECT_TRUE(decoded && decoded->eventsServer);
    return decoded && decoded->eventsServer ? *decoded->eventsServer : std::string();
  }

  /// A started socket on `server`, enabled, whose events go to `heard_`.
  void start(REDSocket::Options options, const std::string& server,
             std::shared_ptr<fileprovider::REDEventDownloader> downloader = nullptr,
             std::shared_ptr<base::Clock> clock = nullptr) {
    socket_ =
        REDSocket::make(cfsSession_, factory_, log_.first, clock ? clock : base::Clock::system(),
                        queue_, std::move(downloader), options);
    subscription_ = socket_->subscribe([this](const REDSocketEvent& event) { heard_.add(event); });
    socket_->setEventsServer(server);
    socket_->setConnectionEnabled(true);
    socket_->start();
  }

  /// Requests the emulator's admin interface; the answer's body.
  std::string admin(const std::string& method, const std::string& path,
                    const base::JSONValue& body = nullptr) {
    URLRequest request;
    request.url = emulator_->baseURL() + path;
    request.method = base::HTTPMethod{method};
    request.setValue(emulator_->adminToken(), "X-Admin-Token");
    if (!body.is_null()) {
      request.body = body.dump();
      request.setValue("application/json", "Content-Type");
    }
    auto future = urlSession_->data(request, cloudfs::TarnixURLRequestOptions::none());
    EXPECT_EQ(future.wait_for(kWait), std::future_status::ready);
    auto result = future.get();
    EXPECT_TRUE(result && result->response.statusCode == 200) << path;
    return result ? result->body : std::string();
  }

  /// Uploads a small file as alice, as another device of hers would.
  void upload(const std::string& path) {
    URLRequest request;
    request.url = emulator_->baseURL() + "/api/v1/fs-content" + path;
    request.method = base::HTTPMethod::post;
    request.body = "red";
    cfsSession_->authorize(request);
    auto future = urlSession_->data(request, cloudfs::TarnixURLRequestOptions::none());
    ASSERT_EQ(future.wait_for(kWait), std::future_status::ready);
    auto result = future.get();
    ASSERT_TRUE(result && result->response.statusCode == 200) << (result ? result->body : "");
  }

  /// Ids of the didReceive events heard ("i" marks initial ones).
  std::vector<std::string> receivedIDs() {
    std::vector<std::string> ids;
    for (const auto& event : heard_.events()) {
      if (event.kind == REDSocketEvent::Kind::didReceive)
        ids.push_back((event.initial ? "i" : "") + std::to_string(event.eventID));
    }
    return ids;
  }

  static REDSocket::Options shortSettings() {
    REDSocket::Options options;
    options.settings.connectionTimeout = 10s;
    options.settings.reconnectInterval = 50ms;
    return options;
  }

  static inline std::unique_ptr<EmulatorProcess> emulator_;
  std::pair<base::Logger, std::shared_ptr<CapturingLogSink>> log_ =
      CapturingLogSink::makeLogger("RED");
  std::shared_ptr<TarnixURLSession> urlSession_;
  std::shared_ptr<cloudfs::CloudFSSession> cfsSession_;
  std::shared_ptr<CountingWebSocketFactory> factory_;
  std::shared_ptr<base::DispatchQueue> queue_ = base::DispatchQueue::make("com.tarnix.REDSocket");
  std::shared_ptr<REDSocket> socket_;
  std::shared_ptr<void> subscription_;
  Heard heard_;
};

TEST_F(REDSocketIntegrationTest, ReceivesTheInitialIdAndAnnouncedChangesAndDownloadsThem) {
  auto downloader = std::make_shared<fileprovider::ForegroundREDEventDownloader>(
      cfsSession_, queue_, base::Clock::system(), log_.first,
      fileprovider::REDEventDownloadSettings{.workgroupID = "w", .batchInterval = 10ms});
  start({}, eventsServer(), downloader);
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didReceive, 1)) << log_.second->allText();
  EXPECT_TRUE(socket_->isConnected());
  EXPECT_EQ(log_.second->entries("Connected to RED").size(), 1u);
  EXPECT_EQ(log_.second->entries("Received initial RED event").size(), 1u);
  auto initial = heard_.events().back();
  ASSERT_TRUE(initial.initial);

  upload("/Private/red-announced.txt");
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didDownload, 1)) << log_.second->allText();
  EXPECT_EQ(receivedIDs(), (std::vector<std::string>{"i" + std::to_string(initial.eventID),
                                                     std::to_string(initial.eventID + 1)}));
  EXPECT_EQ(socket_->lastEventID(), initial.eventID + 1);
  for (const auto& event : heard_.events()) {
    if (event.kind != REDSocketEvent::Kind::didDownload) continue;
    ASSERT_EQ(event.events.size(), 1u);
    EXPECT_EQ(event.events[0].identifier, initial.eventID + 1);
    EXPECT_EQ(event.events[0].body,
              (REDEventBody{REDEventBody::Kind::addFile, "/Private/red-announced.txt", {}}));
  }
  // The upgrade carried the drive's credentials and the client's identification.
  auto upgrades = upgradeHeaders();
  ASSERT_FALSE(upgrades.empty());
  for (const auto& headers : upgrades) {
    EXPECT_EQ(headers["authorization"],
              EmulatorProcess::authorization(EmulatorProcess::kAliceToken));
    EXPECT_EQ(headers["tarnix-client-id"], "device-1");
  }
}

TEST_F(REDSocketIntegrationTest, ReconnectsAfterTheServerClosedTheSocket) {
  start(shortSettings(), emulator_->host());
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didReceive, 1));
  auto closed = base::parseJSON(admin("POST", "/__admin/events", {{"closeSockets", true}}));
  ASSERT_TRUE(closed);
  EXPECT_EQ((*closed)["closed"], 1);
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didDisconnect, 1));
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didConnect, 2)) << log_.second->allText();
  // The new connection's current id is published again, so the owner can catch up.
  ASSERT_TRUE(heard_.waitFor([](const auto& events) {
    return std::ranges::count_if(events, [](const auto& e) { return e.initial; }) == 2;
  }));
  auto disconnected = log_.second->entries("Disconnected from RED");
  ASSERT_EQ(disconnected.size(), 1u);
  EXPECT_NE(disconnected[0].metadata->description().find("1001"), std::string::npos);
  EXPECT_EQ(factory_->made, 2);
}

TEST_F(REDSocketIntegrationTest, ThroughAHostMappingTheServerIsVerifiedUnderItsOwnName) {
  // "sync-localhost" does not resolve here; the mapping leads to the emulator and its
  // certificate names it.
  start(shortSettings(), "sync-localhost:" + std::to_string(emulator_->port()));
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didConnect, 1)) << log_.second->allText();

  // A mapped name the certificate does not cover fails the TLS check.
  const auto port = std::to_string(emulator_->port());
  TarnixURLSession::Configuration configuration;
  configuration.hostMappings = {"events.invalid:" + port + ":127.0.0.1:" + port};
  auto strict = makeURLSession(configuration);
  auto cfs = std::make_shared<cloudfs::CloudFSSession>(
      strict, cloudfs::CloudFSSessionConfiguration{emulator_->host(), std::nullopt},
      base::Logger::null());
  cloudfs::WebSocketFactory factory(cfs, nullptr, base::Logger::null());
  std::promise<cloudfs::WebSocketEvent> first;
  std::once_flag once;
  URLRequest request;
  request.url = "wss://events.invalid:" + port + "/event/1.0/watch/file_system";
  auto socket = factory.makeSocket(request, [&](cloudfs::WebSocketEvent event) {
    std::call_once(once, [&] { first.set_value(event); });
  });
  socket->resume();
  auto future = first.get_future();
  ASSERT_EQ(future.wait_for(kWait), std::future_status::ready);
  auto event = future.get();
  ASSERT_EQ(event.kind, cloudfs::WebSocketEvent::Kind::error);
  EXPECT_FALSE(event.error->httpStatus);
  EXPECT_NE(event.error->message.find("TLS"), std::string::npos) << event.error->message;
}

TEST_F(REDSocketIntegrationTest, RefusedCredentialsAreReportedAndNotRetried) {
  // Timers on a manual clock: a retry could only come from advancing it.
  auto clock = base::ManualClock::make();
  admin("POST", "/__admin/events", {{"refuseUpgrade", 401}});
  start(shortSettings(), emulator_->host(), nullptr, clock);
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didFailAuthentication, 1))
      << log_.second->allText();
  EXPECT_EQ(heard_.events().back().httpStatus, 401);
  EXPECT_EQ(factory_->made, 1);
  clock->advance(2h);  // past every reconnect interval and the refresh
  queue_->drain();
  EXPECT_EQ(factory_->made, 1);
  EXPECT_FALSE(socket_->isConnected());

  // Enabled again (say with new credentials) and accepted, it connects.
  admin("DELETE", "/__admin/events");
  socket_->setConnectionEnabled(true);
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didConnect, 1)) << log_.second->allText();
  EXPECT_EQ(factory_->made, 2);
}

TEST_F(REDSocketIntegrationTest, WatchdogReconnectsWhenTheServerStopsAnsweringPings) {
  admin("POST", "/__admin/events", {{"answerPings", false}});
  auto options = shortSettings();
  options.settings.pingInterval = 100ms;
  options.settings.pingTimeout = 300ms;
  start(options, emulator_->host());
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didDisconnect, 1))
      << log_.second->allText();
  auto disconnected = log_.second->entries("Disconnected from RED");
  ASSERT_GE(disconnected.size(), 1u);
  EXPECT_NE(disconnected[0].metadata->description().find("Watchdog timeout"), std::string::npos)
      << disconnected[0].metadata->description();
  EXPECT_GE(log_.second->entries("RED did not receive ACK, reconnecting.").size(), 1u);
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didConnect, 2)) << log_.second->allText();
}

TEST_F(REDSocketIntegrationTest, RawFramesAreDroppedWithTheirLogLines) {
  start(shortSettings(), emulator_->host());
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didReceive, 1));
  for (const char* text :
       {" ", "", "[]", "garbage", "{\"hello\": 1}", "{\"eventId\": 1}", "{\"eventId\": 999999}"}) {
    admin("POST", "/__admin/events", {{"push", text}});
  }
  // Frames arrive in order: once the last id is heard, the others were handled.
  ASSERT_TRUE(heard_.waitFor([](const auto& events) {
    return std::ranges::any_of(events, [](const auto& e) { return e.eventID == 999999; });
  }));
  EXPECT_EQ(log_.second->entries("RED message is not a JSON object").size(), 1u);
  EXPECT_EQ(log_.second->entries("RED message is not in JSON format").size(), 1u);
  EXPECT_EQ(log_.second->entries("Unknown RED message").size(), 1u);
  // An id below the current one is not trusted.
  EXPECT_EQ(heard_.events().size(), 3u);  // connect, the initial id, 999999
}

TEST_F(REDSocketIntegrationTest, ExpiredHistoryReachesTheClientAsGone) {
  auto precheck = cfsSession_->data(cloudfs::IfflPrecheckRequest({"/Private"}),
                                    cloudfs::TarnixURLRequestOptions::none());
  ASSERT_EQ(precheck.wait_for(kWait), std::future_status::ready);
  auto current = base::parseJSON(precheck.get()->first);
  ASSERT_TRUE(current);
  const std::int64_t revision = (*current)["global_revision_id"];
  upload("/Private/red-expired.txt");
  admin("POST", "/__admin/events", {{"expireThrough", revision + 1}});
  auto fetch = [&](std::int64_t after) {
    cloudfs::GetEventsRequest request;
    request.folders = {"/Private"};
    request.revision = after;
    request.headRevision = after;
    request.eventBatch = 10;
    auto future = cfsSession_->data(request, cloudfs::TarnixURLRequestOptions::none());
    EXPECT_EQ(future.wait_for(kWait), std::future_status::ready);
    auto answer = future.get();
    EXPECT_TRUE(answer);
    return answer ? answer->second.statusCode : 0;
  };
  EXPECT_EQ(fetch(revision), 410);
  EXPECT_EQ(fetch(revision + 1), 200);
}

// Through the proxy of the proxy settings (tinyproxy on loopback, with credentials): an HTTP
// CONNECT tunnel, TLS to the server inside it, the proxy's credentials never sent on.
TEST_F(REDSocketIntegrationTest, ConnectsThroughTheProxyOfTheSettings) {
  std::filesystem::path tinyproxy;
  for (const char* candidate : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy"})
    if (std::filesystem::exists(candidate)) tinyproxy = candidate;
  if (tinyproxy.empty()) GTEST_SKIP() << "tinyproxy is not installed (scripts/install-deps)";
  TempDir dir("tarnix-red-proxy");
  const int proxyPort = unusedLoopbackPort();
  writeFile(dir / "tinyproxy.conf",
            "Port " + std::to_string(proxyPort) + "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" +
                (dir / "tinyproxy.log").string() +
                "\"\nLogLevel Connect\nMaxClients 20\nAllow 127.0.0.1\nBasicAuth proxyuser "
                "s3cret\n");
  ChildProcess proxy({tinyproxy.string(), "-d", "-c", (dir / "tinyproxy.conf").string()});
  ASSERT_GT(proxy.pid(), 0);
  ASSERT_TRUE(waitForLoopbackPort(proxyPort)) << "tinyproxy did not start";

  auto preferences = std::make_shared<common::DesktopAppGroupPreferences>(
      platform::UserDefaults::open(dir / "preferences.json", base::Logger::null()),
      base::Logger::null());
  common::URLSessionProxyConfiguration settings;
  settings.proxyEnabled = true;
  settings.address = "127.0.0.1";
  settings.port = proxyPort;
  settings.requiresAuthentication = true;
  settings.username = "proxyuser";
  settings.password = "s3cret";
  preferences->setNetworkProxy(settings);
  const auto direct = urlSession_;  // for the admin requests after the proxy has gone
  urlSession_ = makeURLSession({}, preferences);
  cfsSession_ = session(EmulatorProcess::kAliceToken);
  factory_ = std::make_shared<CountingWebSocketFactory>(cfsSession_, nullptr, log_.first);
  admin("DELETE", "/__admin/requests");

  start(shortSettings(), "127.0.0.1:" + std::to_string(emulator_->port()));
  ASSERT_TRUE(heard_.waitForCount(REDSocketEvent::Kind::didReceive, 1)) << log_.second->allText();
  EXPECT_NE(readFile(dir / "tinyproxy.log").find("CONNECT"), std::string::npos);
  auto upgrades = upgradeHeaders();
  ASSERT_FALSE(upgrades.empty());
  for (const auto& headers : upgrades) EXPECT_FALSE(headers.contains("proxy-authorization"));
  socket_->stop();
  urlSession_ = direct;
}

}  // namespace
}  // namespace tarnix::testing
