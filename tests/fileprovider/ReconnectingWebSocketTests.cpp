// The reconnecting socket against a fake transport and a manual clock: connection time-out,
// pings and the watchdog, reconnects after drops the client did not ask for, none after the
// ones it asked for, and none after the server refused the credentials.

#include <gtest/gtest.h>

#include <mutex>

#include "base/Clock.hpp"
#include "fileprovider/FakeWebSocket.hpp"
#include "fileprovider/events/ReconnectingWebSocket.hpp"

namespace tarnix::testing {
namespace {

using cloudfs::WebSocketError;
using cloudfs::WebSocketEvent;
using fileprovider::ReconnectingWebSocket;
using fileprovider::WebSocketCloseReason;
using namespace std::chrono_literals;

class RecordingDelegate final : public fileprovider::WebSocketDelegate {
 public:
  void webSocketDidConnect() override { record("connect"); }
  void webSocketDidDisconnect(std::optional<std::string> reason, int code) override {
    record("disconnect " + reason.value_or("-") + " " + std::to_string(code));
  }
  void webSocketDidReceive(std::string text) override { record("text " + text); }
  void webSocketDidFailAuthentication(int status) override {
    record("auth " + std::to_string(status));
  }
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

class ReconnectingWebSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_->setDelegate(delegate_);
    connect();
  }
  void connect() {
    cloudfs::URLRequest request;
    request.url = "wss://events.example/event/1.0/watch/file_system";
    socket_->connect(request);
    settle();
  }
  void TearDown() override { socket_->invalidate(); }

  void settle() { socket_->dispatchQueue()->drain(); }
  void advance(base::Clock::Duration by) {
    clock_->advance(by);
    settle();
  }
  void emit(WebSocketEvent event) {
    factory_->last()->emit(std::move(event));
    settle();
  }
  /// Opens the current socket and lets it ping once.
  void openAndPing() {
    emit(WebSocketEvent::connected());
    advance(65s);
    ASSERT_EQ(factory_->last()->pings(), 1);
  }

  std::shared_ptr<base::ManualClock> clock_ = base::ManualClock::make();
  std::shared_ptr<FakeWebSocketFactory> factory_ = std::make_shared<FakeWebSocketFactory>();
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<ReconnectingWebSocket> socket_ =
      ReconnectingWebSocket::make(factory_, clock_, base::Logger::null());
};

TEST_F(ReconnectingWebSocketTest, ConnectionThatDoesNotOpenIsClosedAfter20sAndTriedAgainAfter40s) {
  ASSERT_EQ(factory_->count(), 1u);
  EXPECT_TRUE(factory_->last()->resumed());
  advance(19s);
  EXPECT_TRUE(factory_->last()->closes().empty());
  advance(1s);
  auto first = factory_->sockets().front();
  ASSERT_EQ(first->closes().size(), 1u);
  EXPECT_EQ(first->closes()[0].second, "Connection timeout");
  // It was never open: the delegate hears nothing.
  EXPECT_TRUE(delegate_->calls().empty());
  advance(39s);
  EXPECT_EQ(factory_->count(), 1u);
  advance(1s);
  ASSERT_EQ(factory_->count(), 2u);
  EXPECT_TRUE(factory_->last()->resumed());
  EXPECT_EQ(factory_->last()->request.url, first->request.url);
  // The late end of the closed socket changes nothing.
  first->emit(WebSocketEvent::disconnected(1000, "Connection timeout"));
  settle();
  EXPECT_EQ(factory_->count(), 2u);
  EXPECT_FALSE(socket_->isConnected());
}

TEST_F(ReconnectingWebSocketTest, MissingPongClosesWithWatchdogTimeoutAndReconnects) {
  openAndPing();
  EXPECT_TRUE(socket_->isConnected());
  advance(19s);
  EXPECT_TRUE(factory_->last()->closes().empty());
  advance(1s);
  auto first = factory_->sockets().front();
  ASSERT_EQ(first->closes().size(), 1u);
  EXPECT_EQ(first->closes()[0].second, "Watchdog timeout");
  EXPECT_FALSE(socket_->isConnected());
  EXPECT_EQ(delegate_->calls(),
            (std::vector<std::string>{"connect", "disconnect Watchdog timeout 1000"}));
  advance(40s);
  EXPECT_EQ(factory_->count(), 2u);
}

TEST_F(ReconnectingWebSocketTest, PongKeepsTheConnectionAndTheNextPingFollows) {
  openAndPing();
  emit(WebSocketEvent::pong());
  advance(64s);
  EXPECT_TRUE(factory_->last()->closes().empty());
  EXPECT_EQ(factory_->last()->pings(), 1);
  advance(1s);
  EXPECT_EQ(factory_->last()->pings(), 2);
  emit(WebSocketEvent::text("{\"eventId\": 3}"));
  EXPECT_EQ(delegate_->calls(), (std::vector<std::string>{"connect", "text {\"eventId\": 3}"}));
  EXPECT_EQ(factory_->count(), 1u);
}

TEST_F(ReconnectingWebSocketTest, DropsTheClientDidNotAskForAreRetriedAfter40s) {
  struct Case {
    const char* name;
    WebSocketEvent event;
    std::string expectedCall;
  };
  const std::vector<Case> cases = {
      {"server close", WebSocketEvent::disconnected(1001, "going away"),
       "disconnect going away 1001"},
      {"network error", WebSocketEvent::failed({"The connection ended", std::nullopt}),
       "disconnect The connection ended 1006"},
      {"server error on upgrade", WebSocketEvent::failed({"refused", 503}), ""},
  };
  std::size_t sockets = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool opens = !c.expectedCall.empty();
    auto before = delegate_->calls().size();
    if (opens) emit(WebSocketEvent::connected());
    emit(c.event);
    auto calls = delegate_->calls();
    if (opens) {
      ASSERT_EQ(calls.size(), before + 2);
      EXPECT_EQ(calls.back(), c.expectedCall);
    } else {
      EXPECT_EQ(calls.size(), before);
    }
    advance(39s);
    EXPECT_EQ(factory_->count(), sockets);
    advance(1s);
    EXPECT_EQ(factory_->count(), ++sockets);
  }
}

TEST_F(ReconnectingWebSocketTest, ClosesTheClientAsksForAreNotRetried) {
  for (auto reason :
       {WebSocketCloseReason::onClientRequest, WebSocketCloseReason::machineWentToSleep}) {
    const std::string text(fileprovider::closeReasonText(reason));
    SCOPED_TRACE(text);
    emit(WebSocketEvent::connected());
    auto current = factory_->last();
    socket_->disconnect(reason);
    settle();
    ASSERT_EQ(current->closes().size(), 1u);
    EXPECT_EQ(current->closes()[0].second, text);
    EXPECT_EQ(delegate_->calls().back().rfind("disconnect " + text, 0), 0u);
    current->emit(WebSocketEvent::disconnected(current->closes()[0].first, text));
    auto count = factory_->count();
    advance(10min);
    EXPECT_EQ(factory_->count(), count);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
    connect();
    EXPECT_EQ(factory_->count(), count + 1);
  }
}

TEST_F(ReconnectingWebSocketTest, RefusedCredentialsStopTheRetriesUntilTheNextConnect) {
  for (int status : {401, 403}) {
    SCOPED_TRACE(status);
    auto count = factory_->count();
    emit(WebSocketEvent::failed({"refused", status}));
    EXPECT_EQ(delegate_->calls().back(), "auth " + std::to_string(status));
    advance(1h);
    EXPECT_EQ(factory_->count(), count);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
    connect();
    EXPECT_EQ(factory_->count(), count + 1);
  }
}

TEST_F(ReconnectingWebSocketTest, InvalidateEndsEverything) {
  emit(WebSocketEvent::connected());
  auto current = factory_->last();
  socket_->invalidate();
  ASSERT_EQ(current->closes().size(), 1u);
  EXPECT_EQ(current->closes()[0].second, "On client request");
  current->emit(WebSocketEvent::text("late"));
  advance(1h);
  EXPECT_EQ(factory_->count(), 1u);
  EXPECT_EQ(delegate_->calls(), (std::vector<std::string>{"connect"}));
}

}  // namespace
}  // namespace tarnix::testing
