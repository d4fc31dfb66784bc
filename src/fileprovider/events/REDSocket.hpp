#pragma once
// The real-time event socket ("RED") of one drive: a WebSocket to the events server of service
// discovery ("wss://" + eventsServer + "/event/1.0/watch/file_system", the drive's credentials
// on the upgrade) that says which event ids exist. Subscribers hear `REDSocketEvent`s; the
// downloader (none by default) fetches announced events.
//
// Announced ids are not trusted: an id at or below the last one seen is dropped. The
// "currentEventId" sent on every (re)connection is always published, and becomes the last id,
// so that the owner can catch up from it.
//
// The connection is open while the socket is started, connection is enabled and an events
// server is known. An upgrade refused with 401 or 403 publishes `didFailAuthentication` and
// the socket stays closed until `setConnectionEnabled(true)` is called again.
//
// Threads: every member may be called from any thread (a subscriber may call them too).
// Subscribers, the downloader and the reconnecting socket run on `socketQueue`. The transport
// runs one I/O thread per connection (cloudfs/URLSessionSocket.hpp). `stop` ends the connection
// and timers and waits for the I/O thread, which ends at once unless a host-name lookup is in
// flight; nothing is published after it returns.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/URLSessionSocket.hpp"
#include "fileprovider/events/REDEventDownloader.hpp"
#include "fileprovider/events/ReconnectingWebSocket.hpp"

namespace tarnix::fileprovider {

struct REDSocketOptions {
  ReconnectingWebSocketSettings settings;
  /// How often a socket that is wanted but not open is tried afresh (with newly stamped
  /// credentials), besides the reconnecting socket's own retries.
  base::Clock::Duration refreshInterval = std::chrono::hours(1);
};

class REDSocket final : public WebSocketDelegate, public std::enable_shared_from_this<REDSocket> {
 public:
  static constexpr std::string_view kPath = "/event/1.0/watch/file_system";
  static constexpr double kRequestTimeout = 60;
  using Options = REDSocketOptions;
  using Subscriber = std::function<void(const REDSocketEvent&)>;

  /// `socketQueue` none: a new queue "com.tarnix.REDSocket". `downloader` none: a
  /// NullREDEventDownloader.
  static std::shared_ptr<REDSocket> make(std::shared_ptr<cloudfs::CloudFSSession> cfsSession,
                                         std::shared_ptr<cloudfs::WebSocketFactory> socketFactory,
                                         base::Logger logger, std::shared_ptr<base::Clock> clock,
                                         std::shared_ptr<base::DispatchQueue> socketQueue = nullptr,
                                         std::shared_ptr<REDEventDownloader> downloader = nullptr,
                                         Options options = {});
  ~REDSocket() override;

  /// Calls `subscriber` with every event until the returned handle is released.
  [[nodiscard]] std::shared_ptr<void> subscribe(Subscriber subscriber);

  /// The host (and ":port") of the events server; none closes the connection.
  void setEventsServer(std::optional<std::string> host);
  /// Enabling again after an authentication failure tries once more.
  void setConnectionEnabled(bool enabled);
  void start();
  /// Ends the connection, the timers and the downloader. Idempotent.
  void stop();
  /// The network came back (or went): a wanted connection that is not open is tried at once.
  void networkReachabilityChanged(bool reachable);
  /// The machine goes to sleep: the connection is closed ("Machine went to sleep") and not
  /// tried again until `machineDidWake`.
  void machineWillSleep();
  void machineDidWake();

  bool isConnected() const { return connected_.load(); }
  /// The last id announced (none before the first message).
  std::optional<std::int64_t> lastEventID() const;
  const std::shared_ptr<base::DispatchQueue>& socketQueue() const { return socketQueue_; }

  // WebSocketDelegate (called on the reconnecting socket's queue).
  void webSocketDidConnect() override;
  void webSocketDidDisconnect(std::optional<std::string> reason, int code) override;
  void webSocketDidReceive(std::string text) override;
  void webSocketDidFailAuthentication(int httpStatus) override;

  REDSocket(std::shared_ptr<cloudfs::CloudFSSession> cfsSession,
            std::shared_ptr<cloudfs::WebSocketFactory> socketFactory, base::Logger logger,
            std::shared_ptr<base::Clock> clock, std::shared_ptr<base::DispatchQueue> socketQueue,
            std::shared_ptr<REDEventDownloader> downloader, Options options);

 private:
  bool wantsConnection() const;
  void updateConnection();
  void establishConnection(const std::string& host);
  void scheduleRefresh();
  void refresh();
  void receive(const std::string& text);
  void publish(const REDSocketEvent& event);
  /// Runs `block` on the queue, after what is queued already, unless stopped by then.
  void later(std::function<void(REDSocket&)> block);
  /// The same, at once when called on the queue.
  void onQueue(std::function<void(REDSocket&)> block);

  const std::shared_ptr<cloudfs::CloudFSSession> cfsSession_;
  const std::shared_ptr<cloudfs::WebSocketFactory> socketFactory_;
  const base::Logger logger_;
  const std::shared_ptr<base::Clock> clock_;
  const std::shared_ptr<base::DispatchQueue> socketQueue_;
  const std::shared_ptr<REDEventDownloader> downloader_;
  const Options options_;
  std::atomic<bool> connected_{false};
  std::atomic<std::int64_t> lastEventID_{-1};

  // On `socketQueue_` only.
  std::shared_ptr<ReconnectingWebSocket> webSocket_;
  std::optional<std::string> eventsServer_;
  std::optional<std::string> connectedServer_;
  bool isConnectionEnabled_ = false;
  bool started_ = false;
  bool stopped_ = false;
  bool authenticationFailed_ = false;
  bool asleep_ = false;
  std::shared_ptr<base::DispatchWorkItem> refreshWorkItem_;
  std::vector<std::weak_ptr<Subscriber>> subscribers_;
};

}  // namespace tarnix::fileprovider
