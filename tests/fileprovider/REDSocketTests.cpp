// The RED socket against a fake transport and a manual clock: the messages it accepts and the
// log lines for the rest, the ids it publishes (announced ids are not trusted), the connection
// URL and credentials, its log lines, and what happens after refused credentials and stop.
// Also the pure parts: event bodies and the batching of announced ids.

#include <gtest/gtest.h>

#include <mutex>

#include "base/Clock.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "fileprovider/FakeWebSocket.hpp"
#include "fileprovider/events/REDSocket.hpp"
#include "support/CapturingLogSink.hpp"

namespace tarnix::testing {
namespace {

using cloudfs::WebSocketEvent;
using fileprovider::REDEventBatch;
using fileprovider::REDEventBatchGenerator;
using fileprovider::REDEventBody;
using fileprovider::REDIncomingMessage;
using fileprovider::REDSocket;
using fileprovider::REDSocketEvent;
using namespace std::chrono_literals;

TEST(REDIncomingMessageTest, DecodesTheTwoMessagesAndLogsEverythingElse) {
  using Kind = REDIncomingMessage::Kind;
  struct Case {
    std::string text;
    std::optional<REDIncomingMessage> message;
    std::string log;  // empty: nothing logged
  };
  const std::vector<Case> cases = {
      {"", std::nullopt, ""},
      {" ", std::nullopt, ""},
      {"[]", std::nullopt, "RED message is not a JSON object"},
      {"[1, 2]", std::nullopt, "RED message is not a JSON object"},
      {"\"text\"", std::nullopt, "RED message is not a JSON object"},
      {"garbage", std::nullopt, "RED message is not in JSON format"},
      {"  ", std::nullopt, "RED message is not in JSON format"},
      {"{\"eventId\": 1", std::nullopt, "RED message is not in JSON format"},
      {"{\"eventId\": \"\xff\"}", std::nullopt, "Encoding RED message to UTF-8 failed"},
      {"{\"currentEventId\": 41}", REDIncomingMessage{Kind::initial, 41},
       "Received initial RED event"},
      {"{\"eventId\": 42}", REDIncomingMessage{Kind::announcement, 42}, ""},
      {"{\"eventId\": 0}", REDIncomingMessage{Kind::announcement, 0}, ""},
      {"{\"eventId\": \"42\"}", std::nullopt, "Unknown RED message"},
      {"{\"eventId\": 4.5}", std::nullopt, "Unknown RED message"},
      {"{\"eventId\": -1}", std::nullopt, "Unknown RED message"},
      {"{\"eventId\": 18446744073709551615}", std::nullopt, "Unknown RED message"},
      {"{}", std::nullopt, "Unknown RED message"},
      {"{\"ping\": true}", std::nullopt, "Unknown RED message"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto [logger, sink] = CapturingLogSink::makeLogger();
    EXPECT_EQ(fileprovider::decodeREDIncomingMessage(c.text, logger), c.message);
    auto entries = sink->entries();
    if (c.log.empty()) {
      EXPECT_TRUE(entries.empty()) << sink->allText();
    } else {
      ASSERT_EQ(entries.size(), 1u) << sink->allText();
      EXPECT_EQ(entries[0].message, c.log);
    }
  }
}

TEST(REDEventBodyTest, DecodesActionsAndPaths) {
  using Kind = REDEventBody::Kind;
  const std::optional<std::string> none;
  const std::optional<std::string> a = "/Shared/a", b = "/Shared/b";
  struct Case {
    std::string action;
    std::optional<std::string> source, target;
    std::optional<REDEventBody> body;
  };
  const std::vector<Case> cases = {
      {"ADD_FOLDER", none, a, REDEventBody{Kind::addFolder, a, none}},
      {"ADD_FILE", none, a, REDEventBody{Kind::addFile, a, none}},
      {"DELETE_FILE", a, none, REDEventBody{Kind::deleteFile, a, none}},
      {"DELETE_FOLDER", none, none, std::nullopt},
      {"MOVE_FILE", a, b, REDEventBody{Kind::moveFile, b, a}},
      {"COPY_FOLDER", a, b, REDEventBody{Kind::copyFolder, b, a}},
      {"MOVE_FOLDER", none, b, std::nullopt},
      {"COPY_FILE", a, std::string(), std::nullopt},
      {"PERMISSION_CHANGE", none, a, REDEventBody{Kind::permissionChange, a, none}},
      {"PERMISSION_CHANGE", none, none,
       REDEventBody{Kind::permissionChangeWithoutTarget, none, none}},
      {"LOCK_FILE", none, a, REDEventBody{Kind::lockFile, a, none}},
      {"UPGRADE_TO_LATEST_FILE", none, a, REDEventBody{Kind::upgradeToLatestFile, a, none}},
      {"NOOP", none, none, REDEventBody{Kind::noop, none, none}},
      {"SOMETHING_NEW", none, a, std::nullopt},
      {"add_file", none, a, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.action);
    auto body = REDEventBody::decode(c.action, c.source, c.target);
    if (c.body) {
      ASSERT_TRUE(body) << body.error();
      EXPECT_EQ(*body, *c.body);
    } else {
      EXPECT_FALSE(body);
    }
  }
}

TEST(REDEventBatchGeneratorTest, GroupsAnnouncedIdsIntoBoundedRanges) {
  using Kind = REDIncomingMessage::Kind;
  REDEventBatchGenerator generator(/*total*/ 10, /*in a row*/ 4);
  // The first initial id is the baseline only.
  EXPECT_TRUE(generator.add({Kind::initial, 100}).empty());
  EXPECT_FALSE(generator.currentBatch());
  EXPECT_TRUE(generator.add({Kind::announcement, 101}).empty());
  EXPECT_TRUE(generator.add({Kind::announcement, 103}).empty());  // 102 is fetched as well
  EXPECT_EQ(generator.currentBatch(), (REDEventBatch{101, 103}));
  EXPECT_TRUE(generator.add({Kind::announcement, 102}).empty());  // already covered
  // A range holds at most 4 ids.
  EXPECT_EQ(generator.add({Kind::announcement, 106}), (std::vector<REDEventBatch>{{101, 104}}));
  EXPECT_EQ(generator.close(), (REDEventBatch{105, 106}));
  EXPECT_FALSE(generator.close());
  // After a reconnection the ids missed meanwhile are fetched, at most 10 of them.
  EXPECT_EQ(generator.add({Kind::initial, 120}),
            (std::vector<REDEventBatch>{{111, 114}, {115, 118}}));
  EXPECT_EQ(generator.totalUnsubscribedEventsCounter(), 4);
  EXPECT_EQ(generator.close(), (REDEventBatch{119, 120}));
  // A server that starts lower is believed.
  EXPECT_TRUE(generator.add({Kind::initial, 5}).empty());
  EXPECT_TRUE(generator.add({Kind::announcement, 6}).empty());
  EXPECT_EQ(generator.close(), (REDEventBatch{6, 6}));
  // A huge jump up to the top of the id range keeps the newest 10 ids and does not overflow.
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(generator.add({Kind::announcement, kMax}),
            (std::vector<REDEventBatch>{{kMax - 9, kMax - 6}, {kMax - 5, kMax - 2}}));
  EXPECT_EQ(generator.close(), (REDEventBatch{kMax - 1, kMax}));
  EXPECT_TRUE(generator.add({Kind::announcement, kMax}).empty());
  EXPECT_FALSE(generator.close());
}

class REDSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto urlSession = std::make_shared<cloudfs::TarnixURLSession>(
        base::Logger::null(),
        cloudfs::TarnixUserAgent("device-1", "1.0.0", "1", {"en_US", "6.1.0", "x86_64"}),
        "lifecycle", nullptr);
    cfsSession_ = std::make_shared<cloudfs::CloudFSSession>(
        urlSession,
        cloudfs::CloudFSSessionConfiguration{
            "drive.example", cloudfs::CloudFSSessionConfiguration::Authentication::oauth("tok")},
        base::Logger::null());
    socket_ = REDSocket::make(cfsSession_, factory_, log_.first, clock_, queue_);
    subscription_ = socket_->subscribe([this](const REDSocketEvent& event) {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    });
  }
  void TearDown() override { socket_->stop(); }

  /// Lets every block queued, and those they queue in turn, run.
  void settle() {
    for (int i = 0; i < 3; ++i) queue_->drain();
  }
  void open(const std::string& server = "events.example") {
    socket_->setEventsServer(server);
    socket_->setConnectionEnabled(true);
    socket_->start();
    settle();
  }
  void emit(WebSocketEvent event) {
    factory_->last()->emit(std::move(event));
    settle();
  }
  void advance(base::Clock::Duration by) {
    clock_->advance(by);
    settle();
  }
  std::vector<REDSocketEvent> takeEvents() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }
  /// The ids published, in order ("i" marks initial ones).
  std::vector<std::string> receivedIDs() {
    std::vector<std::string> ids;
    for (const auto& event : takeEvents()) {
      if (event.kind == REDSocketEvent::Kind::didReceive)
        ids.push_back((event.initial ? "i" : "") + std::to_string(event.eventID));
    }
    return ids;
  }

  std::pair<base::Logger, std::shared_ptr<CapturingLogSink>> log_ =
      CapturingLogSink::makeLogger("RED");
  std::shared_ptr<base::ManualClock> clock_ = base::ManualClock::make();
  std::shared_ptr<base::DispatchQueue> queue_ = base::DispatchQueue::make("com.tarnix.REDSocket");
  std::shared_ptr<FakeWebSocketFactory> factory_ = std::make_shared<FakeWebSocketFactory>();
  std::shared_ptr<cloudfs::CloudFSSession> cfsSession_;
  std::shared_ptr<REDSocket> socket_;
  std::shared_ptr<void> subscription_;
  std::mutex mutex_;
  std::vector<REDSocketEvent> events_;
};

TEST_F(REDSocketTest, ConnectsOnlyWhenStartedEnabledAndAServerIsKnown) {
  socket_->setConnectionEnabled(true);
  socket_->start();
  settle();
  EXPECT_EQ(factory_->count(), 0u);
  socket_->setEventsServer("events.example:8443");
  settle();
  ASSERT_EQ(factory_->count(), 1u);
  const auto& request = factory_->last()->request;
  EXPECT_EQ(request.url, "wss://events.example:8443/event/1.0/watch/file_system");
  EXPECT_EQ(request.timeoutInterval, 60);
  EXPECT_EQ(request.value(base::HTTPHeaderName("Authorization")),
            "OAUTH oauth_token=tok,oauth_version=2.0");
  EXPECT_TRUE(request.value(base::HTTPHeaderName("X-Tarnix-Request-Id")));

  emit(WebSocketEvent::connected());
  EXPECT_TRUE(socket_->isConnected());
  socket_->setConnectionEnabled(false);
  settle();
  EXPECT_FALSE(socket_->isConnected());
  ASSERT_EQ(factory_->last()->closes().size(), 1u);
  EXPECT_EQ(factory_->last()->closes()[0].second, "On client request");
  advance(1h);
  EXPECT_EQ(factory_->count(), 1u);
  // A new server is connected to at once.
  socket_->setConnectionEnabled(true);
  socket_->setEventsServer("other.example");
  settle();
  EXPECT_EQ(factory_->last()->request.url, "wss://other.example/event/1.0/watch/file_system");
}

TEST_F(REDSocketTest, PublishesIdsAboveTheLastOneAndEveryInitialId) {
  open();
  emit(WebSocketEvent::connected());
  for (const char* text : {"{\"currentEventId\": 10}", "{\"eventId\": 11}", "{\"eventId\": 11}",
                           "{\"eventId\": 9}", " ", "[]", "{\"eventId\": 13}"}) {
    emit(WebSocketEvent::text(text));
  }
  EXPECT_EQ(receivedIDs(), (std::vector<std::string>{"i10", "11", "13"}));
  EXPECT_EQ(socket_->lastEventID(), 13);
  EXPECT_EQ(log_.second->entries("RED message is not a JSON object").size(), 1u);
  EXPECT_TRUE(log_.second->entries("Unknown RED message").empty());

  // After a reconnection the server's current id is published even when it is lower.
  emit(WebSocketEvent::disconnected(1001, "restart"));
  advance(40s);
  emit(WebSocketEvent::connected());
  emit(WebSocketEvent::text("{\"currentEventId\": 8}"));
  emit(WebSocketEvent::text("{\"eventId\": 9}"));
  EXPECT_EQ(receivedIDs(), (std::vector<std::string>{"i8", "9"}));
}

TEST_F(REDSocketTest, LogsConnectionsDisconnectionsAndTheWatchdog) {
  open();
  emit(WebSocketEvent::connected());
  EXPECT_EQ(log_.second->entries("Connected to RED").size(), 1u);
  advance(65s);
  ASSERT_EQ(factory_->last()->pings(), 1);
  advance(20s);
  auto disconnected = log_.second->entries("Disconnected from RED");
  ASSERT_EQ(disconnected.size(), 1u);
  ASSERT_TRUE(disconnected[0].metadata);
  auto text = disconnected[0].metadata->description();
  EXPECT_NE(text.find("Watchdog timeout"), std::string::npos) << text;
  EXPECT_NE(text.find("1000"), std::string::npos) << text;
  EXPECT_EQ(log_.second->entries("RED did not receive ACK, reconnecting.").size(), 1u);
  std::vector<REDSocketEvent::Kind> kinds;
  for (const auto& event : takeEvents()) kinds.push_back(event.kind);
  EXPECT_EQ(kinds,
            (std::vector{REDSocketEvent::Kind::didConnect, REDSocketEvent::Kind::didDisconnect}));
  advance(40s);
  EXPECT_EQ(factory_->count(), 2u);
}

TEST_F(REDSocketTest, RefusedCredentialsAreReportedOnceAndWaitForEnablingAgain) {
  open();
  emit(WebSocketEvent::failed({"refused", 401}));
  auto events = takeEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], REDSocketEvent::didFailAuthentication(401));
  advance(2h);  // past the reconnect interval and the refresh
  EXPECT_EQ(factory_->count(), 1u);
  EXPECT_TRUE(takeEvents().empty());
  socket_->setConnectionEnabled(true);
  settle();
  EXPECT_EQ(factory_->count(), 2u);
}

TEST_F(REDSocketTest, SleepClosesTheConnectionUntilTheMachineWakes) {
  open();
  emit(WebSocketEvent::connected());
  socket_->machineWillSleep();
  settle();
  ASSERT_EQ(factory_->last()->closes().size(), 1u);
  EXPECT_EQ(factory_->last()->closes()[0],
            (std::pair<int, std::string>{1001, "Machine went to sleep"}));
  advance(2h);
  EXPECT_EQ(factory_->count(), 1u);
  socket_->machineDidWake();
  settle();
  EXPECT_EQ(factory_->count(), 2u);
}

TEST_F(REDSocketTest, StopEndsTheConnectionAndThePublishing) {
  open();
  emit(WebSocketEvent::connected());
  takeEvents();
  auto current = factory_->last();
  socket_->stop();
  ASSERT_EQ(current->closes().size(), 1u);
  current->emit(WebSocketEvent::text("{\"eventId\": 99}"));
  advance(2h);
  EXPECT_TRUE(takeEvents().empty());
  EXPECT_EQ(factory_->count(), 1u);
  EXPECT_FALSE(socket_->isConnected());
}

}  // namespace
}  // namespace tarnix::testing
