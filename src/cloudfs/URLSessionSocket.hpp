#pragma once
// The event WebSocket's transport: one connection to a "wss://" URL, upgraded with the drive's
// credentials, reporting what happens on it as WebSocketEvents.
//
// A socket reaches its server as the HTTP transfers do: TLS verified against the system's
// certificate authorities plus TARNIX_CA_FILE (never without verification), with SNI and a
// host-name check under the URL's name, through the host mappings (TARNIX_CONNECT_TO) and
// through the proxy of the proxy settings (an HTTP CONNECT tunnel). An upgrade the server
// refuses is an `error` carrying its HTTP status, so that 401 and 403 can be told apart from a
// network failure.
//
// Threads: each socket runs its own I/O thread (Boost.Asio) from `resume` until it has ended;
// events go to the handler one at a time, in order, on the socket's serial queue
// "com.tarnix.URLSessionSocket". Every member may be called from any thread; destroying the
// socket ends the connection and waits (briefly) for its thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Logger.hpp"
#include "cloudfs/URLRequest.hpp"

namespace tarnix::common {
class FeatureList;
}

namespace tarnix::cloudfs {

class CloudFSSession;

struct WebSocketError {
  /// What failed, for logs.
  std::string message;
  /// The status of an upgrade the server answered with something other than 101.
  std::optional<int> httpStatus;
  bool operator==(const WebSocketError&) const = default;
};

/// What a socket reports. The last event of a socket is `disconnected` or `error`.
struct WebSocketEvent {
  enum class Kind { disconnected, error, text, data, connected, pong };
  Kind kind = Kind::connected;
  /// disconnected: the close code (1006 when the connection ended without a close frame).
  int code = 0;
  /// disconnected: the close reason, when one was given.
  std::optional<std::string> reason;
  /// error.
  std::optional<WebSocketError> error;
  /// text and data: the message.
  std::string payload;

  static WebSocketEvent disconnected(int code, std::optional<std::string> reason) {
    return {Kind::disconnected, code, std::move(reason), std::nullopt, {}};
  }
  static WebSocketEvent failed(WebSocketError error) {
    return {Kind::error, 0, std::nullopt, std::move(error), {}};
  }
  static WebSocketEvent text(std::string text) {
    return {Kind::text, 0, std::nullopt, std::nullopt, std::move(text)};
  }
  static WebSocketEvent data(std::string bytes) {
    return {Kind::data, 0, std::nullopt, std::nullopt, std::move(bytes)};
  }
  static WebSocketEvent connected() { return {Kind::connected, 0, {}, {}, {}}; }
  static WebSocketEvent pong() { return {Kind::pong, 0, {}, {}, {}}; }
  bool operator==(const WebSocketEvent&) const = default;
};

/// Close codes of RFC 6455 used by the client.
inline constexpr int kWebSocketCloseNormal = 1000;
inline constexpr int kWebSocketCloseGoingAway = 1001;
inline constexpr int kWebSocketCloseAbnormal = 1006;

class URLSessionSocket {
 public:
  using EventHandler = std::function<void(WebSocketEvent)>;
  virtual ~URLSessionSocket() = default;

  /// Starts connecting; does nothing the second time.
  virtual void resume() = 0;
  /// Queues a text message (dropped when the socket is not open).
  virtual void send(std::string text) = 0;
  virtual void sendPing() = 0;
  /// Ends the connection with a close frame; the socket then reports `disconnected` with
  /// `code` and `reason` (also when the server does not answer the close in time).
  virtual void close(int code, std::string reason) = 0;
};

/// Makes the sockets of one drive. Tests derive from it to hand out fakes.
class WebSocketFactory {
 public:
  WebSocketFactory(std::shared_ptr<CloudFSSession> cfsSession,
                   std::shared_ptr<const common::FeatureList> featureList, base::Logger logger);
  virtual ~WebSocketFactory() = default;

  /// A suspended socket for `request` (a "wss://" URL, already authorised); the cloud session's
  /// transport adds its identification headers and gives the trust, mapping and proxy settings.
  virtual std::shared_ptr<URLSessionSocket> makeSocket(URLRequest request,
                                                       URLSessionSocket::EventHandler handler);

  const std::shared_ptr<CloudFSSession>& cfsSession() const { return cfsSession_; }
  const base::Logger& logger() const { return logger_; }

 private:
  std::shared_ptr<CloudFSSession> cfsSession_;
  std::shared_ptr<const common::FeatureList> featureList_;
  base::Logger logger_;
};

}  // namespace tarnix::cloudfs
