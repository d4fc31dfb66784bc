#pragma once
// Keeps one WebSocket connection alive: a connection attempt that does not open within
// `connectionTimeout` is dropped, an open connection is pinged every `pingInterval` and dropped
// when no pong comes within `pingTimeout`, and a connection that ends without the client asking
// for it is tried again after `reconnectInterval`. An upgrade refused with 401 or 403 is not
// tried again: the delegate hears of the authentication failure and the socket waits for the
// next `connect`.
//
// Threads: every member may be called from any thread except `invalidate`, which must not run
// on `dispatchQueue()`. All state changes run on the socket's serial queue (its own
// "com.tarnix.ReconnectingWebSocket" unless its owner lends it one), where the delegate is
// called too. Timers follow the
// injected clock.

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "cloudfs/URLSessionSocket.hpp"

namespace tarnix::fileprovider {

class WebSocketDelegate {
 public:
  virtual ~WebSocketDelegate() = default;
  virtual void webSocketDidConnect() = 0;
  /// A connection that was open ended; `reason` is the close reason (ours when we closed it).
  virtual void webSocketDidDisconnect(std::optional<std::string> reason, int code) = 0;
  virtual void webSocketDidReceive(std::string text) = 0;
  /// The upgrade was refused with `httpStatus` (401 or 403); no reconnect is scheduled.
  virtual void webSocketDidFailAuthentication(int httpStatus) = 0;
};

/// Why the client closes a connection.
enum class WebSocketCloseReason {
  onClientRequest,     // "On client request"
  machineWentToSleep,  // "Machine went to sleep"
  watchdogTimeout,     // "Watchdog timeout"
  connectionTimeout,   // "Connection timeout"
  internal,            // "Internal"
};
std::string_view closeReasonText(WebSocketCloseReason reason);

struct ReconnectingWebSocketSettings {
  base::Clock::Duration connectionTimeout = std::chrono::seconds(20);
  base::Clock::Duration reconnectInterval = std::chrono::seconds(40);
  base::Clock::Duration pingInterval = std::chrono::seconds(65);
  base::Clock::Duration pingTimeout = std::chrono::seconds(20);
};

class ReconnectingWebSocket : public std::enable_shared_from_this<ReconnectingWebSocket> {
 public:
  using Settings = ReconnectingWebSocketSettings;

  /// `dispatchQueue` none: a new queue "com.tarnix.ReconnectingWebSocket".
  static std::shared_ptr<ReconnectingWebSocket> make(
      std::shared_ptr<cloudfs::WebSocketFactory> socketFactory, std::shared_ptr<base::Clock> clock,
      base::Logger logger, Settings settings = {},
      std::shared_ptr<base::DispatchQueue> dispatchQueue = nullptr);
  ~ReconnectingWebSocket();

  void setDelegate(std::weak_ptr<WebSocketDelegate> delegate);
  /// Opens a connection for `request` (kept for the reconnects), replacing any other.
  void connect(cloudfs::URLRequest request);
  /// Closes with `reason`; no reconnect follows until the next `connect`.
  void disconnect(WebSocketCloseReason reason = WebSocketCloseReason::onClientRequest);
  /// Sends a text message on the open connection (dropped when none is open).
  void send(std::string text);
  /// Ends everything: timers cancelled, the connection dropped, the delegate no longer called.
  /// Waits for the socket's queue. Idempotent.
  void invalidate();

  bool isConnected() const { return connected_.load(); }
  const Settings& settings() const { return settings_; }
  const std::shared_ptr<base::DispatchQueue>& dispatchQueue() const { return dispatchQueue_; }

  ReconnectingWebSocket(std::shared_ptr<cloudfs::WebSocketFactory> socketFactory,
                        std::shared_ptr<base::Clock> clock, base::Logger logger, Settings settings,
                        std::shared_ptr<base::DispatchQueue> dispatchQueue);

 private:
  void openSocket();
  void handle(std::uint64_t generation, cloudfs::WebSocketEvent event);
  void didOpen();
  void connectionEnded(std::optional<std::string> reason, int code);
  void closeSocket(WebSocketCloseReason reason);
  void dropSocket();
  void scheduleReconnect();
  void reconnect();
  void connectionTimedOut();
  void schedulePing();
  void sendPing();
  void watchdogFired();
  void cancelTimers();
  std::shared_ptr<base::DispatchWorkItem> after(base::Clock::Duration delay,
                                                void (ReconnectingWebSocket::*action)());
  std::shared_ptr<WebSocketDelegate> delegate() const { return delegate_.lock(); }

  const std::shared_ptr<cloudfs::WebSocketFactory> socketFactory_;
  const std::shared_ptr<base::Clock> clock_;
  const base::Logger logger_;
  const Settings settings_;
  const std::shared_ptr<base::DispatchQueue> dispatchQueue_;
  std::atomic<bool> connected_{false};

  // On `dispatchQueue_` only.
  std::weak_ptr<WebSocketDelegate> delegate_;
  std::shared_ptr<cloudfs::URLSessionSocket> socket_;
  // Sockets we closed, kept until they report their end so that the close frame goes out.
  std::vector<std::pair<std::uint64_t, std::shared_ptr<cloudfs::URLSessionSocket>>> closing_;
  std::uint64_t generation_ = 0;
  std::optional<cloudfs::URLRequest> connectionRequest_;
  bool wantsConnection_ = false;
  bool isAwaitingPong_ = false;
  bool invalidated_ = false;
  std::shared_ptr<base::DispatchWorkItem> connectionTimeoutWorkItem_;
  std::shared_ptr<base::DispatchWorkItem> reconnectWorkItem_;
  std::shared_ptr<base::DispatchWorkItem> pingWorkItem_;
  std::shared_ptr<base::DispatchWorkItem> watchdogWorkItem_;
};

}  // namespace tarnix::fileprovider
