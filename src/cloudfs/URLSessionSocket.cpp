#include "cloudfs/URLSessionSocket.hpp"

#include <openssl/ssl.h>

#include <utility>  // before Asio, which uses std::exchange

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <deque>
#include <thread>
#include <variant>

#include "base/DispatchQueue.hpp"
#include "base/HTTPHeaderName.hpp"
#include "base/Hash.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/detail/SocketEndpoint.hpp"
#include "common/FeatureList.hpp"

namespace tarnix::cloudfs {

namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;
using Stream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

// How long the server has to answer our close frame before the connection is dropped.
constexpr auto kCloseHandshakeTimeout = std::chrono::seconds(5);
// Event messages are a few dozen bytes; a larger one ends the connection.
constexpr std::size_t kMaximumMessageSize = 1 << 20;

struct Ping {};
struct Close {
  int code;
  std::string reason;
};
using Outgoing = std::variant<std::string, Ping, Close>;

// The connection's state; touched only on its I/O thread once started.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(net::io_context& ioc, URLRequest request,
             TarnixURLSession::ConnectionSettings settings, URLSessionSocket::EventHandler handler,
             base::Logger logger)
      : ioc_(ioc),
        request_(std::move(request)),
        settings_(std::move(settings)),
        handler_(std::move(handler)),
        logger_(std::move(logger)),
        delegateSyncQueue_(base::DispatchQueue::make("com.tarnix.URLSessionSocket")) {}

  net::io_context& ioc() { return ioc_; }

  void start() {
    auto endpoint = detail::SocketEndpoint::parse(request_.url);
    if (!endpoint) return fail({"Invalid WebSocket URL", std::nullopt});
    endpoint_ = std::move(*endpoint);
    try {
      tls_.set_default_verify_paths();
      if (settings_.additionalCAs && !settings_.additionalCAs->empty())
        tls_.add_certificate_authority(net::buffer(*settings_.additionalCAs));
    } catch (const std::exception& e) {
      return fail({std::string("Cannot set up TLS: ") + e.what(), std::nullopt});
    }
    tls_.set_verify_mode(ssl::verify_peer);
    ws_.emplace(ioc_, tls_);
    ws_->read_message_max(kMaximumMessageSize);
    const bool viaProxy = settings_.proxy.proxyEnabled;
    auto target = endpoint_.mapped(settings_.hostMappings);
    tunnelTarget_ = target.host + ":" + target.port;
    std::string host = viaProxy ? settings_.proxy.addressOrDefault() : target.host;
    std::string port =
        viaProxy ? std::to_string(settings_.proxy.portOrDefault()) : std::move(target.port);
    if (host.starts_with('[') && host.ends_with(']')) host = host.substr(1, host.size() - 2);
    lowest().expires_after(deadline());
    resolver_.async_resolve(
        host, port,
        [self = shared_from_this(), viaProxy](beast::error_code ec,
                                              tcp::resolver::results_type results) {
          if (ec) return self->fail({"Cannot resolve the host: " + ec.message(), std::nullopt});
          self->lowest().async_connect(
              results, [self, viaProxy](beast::error_code ec, const tcp::endpoint&) {
                if (ec) return self->fail({"Cannot connect: " + ec.message(), std::nullopt});
                if (viaProxy) return self->openTunnel();
                self->handshakeTLS();
              });
        });
  }

  void enqueue(Outgoing item) {
    if (!open_ || closing_) return;
    if (auto* close = std::get_if<Close>(&item)) {
      closing_ = true;
      closeCode_ = close->code;
      closeReason_ = close->reason;
    }
    outgoing_.push_back(std::move(item));
    if (outgoing_.size() == 1) writeNext();
  }

  // Before the connection is open the attempt is dropped; either way the socket then reports
  // `disconnected` with this code and reason.
  void close(int code, std::string reason) {
    if (open_) return enqueue(Close{code, std::move(reason)});
    if (ended_) return;
    abort();
    end(WebSocketEvent::disconnected(code, std::move(reason)));
  }

  void abort() {
    beast::error_code ignored;
    resolver_.cancel();
    if (ws_) {
      lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
      lowest().close();
    }
  }

  // The owner has gone: nothing more is reported.
  void detach() {
    ended_ = true;
    handler_ = {};
  }

 private:
  beast::tcp_stream& lowest() { return beast::get_lowest_layer(*ws_); }

  std::chrono::steady_clock::duration deadline() const {
    double seconds = request_.timeoutInterval > 0 ? request_.timeoutInterval : 60;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
  }

  void openTunnel() {
    connectRequest_ = {http::verb::connect, tunnelTarget_, 11};
    connectRequest_.set(http::field::host, tunnelTarget_);
    const auto& proxy = settings_.proxy;
    if (proxy.requiresAuthentication) {
      connectRequest_.set(http::field::proxy_authorization,
                          "Basic " + base::base64Encode(proxy.username + ":" + proxy.password));
    }
    http::async_write(
        lowest(), connectRequest_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
          if (ec) return self->fail({"Proxy failed: " + ec.message(), std::nullopt});
          self->tunnelResponse_.skip(true);
          http::async_read_header(
              self->lowest(), self->buffer_, self->tunnelResponse_,
              [self](beast::error_code ec, std::size_t) {
                if (ec) return self->fail({"Proxy failed: " + ec.message(), std::nullopt});
                auto status = self->tunnelResponse_.get().result_int();
                if (status / 100 != 2) {
                  return self->fail(
                      {"Proxy refused the tunnel with status " + std::to_string(status),
                       std::nullopt});
                }
                self->handshakeTLS();
              });
        });
  }

  void handshakeTLS() {
    auto& stream = ws_->next_layer();
    std::string name = endpoint_.host;
    if (name.starts_with('[') && name.ends_with(']')) name = name.substr(1, name.size() - 2);
    beast::error_code ec;
    net::ip::make_address(name, ec);
    // SNI only for names; an address literal is checked against the certificate's addresses.
    if (ec && !SSL_set_tlsext_host_name(stream.native_handle(), name.c_str()))
      return fail({"Cannot set the TLS server name", std::nullopt});
    stream.set_verify_callback(ssl::host_name_verification(name));
    stream.async_handshake(ssl::stream_base::client,
                           [self = shared_from_this()](beast::error_code ec) {
                             if (ec)
                               return self->fail({"TLS failed: " + ec.message(), std::nullopt});
                             self->upgrade();
                           });
  }

  void upgrade() {
    ws_->set_option(websocket::stream_base::decorator(
        [headers = request_.headers](websocket::request_type& upgrade) {
          for (const auto& [name, value] : headers) {
            if (name == base::HTTPHeaderName::proxyAuthorization) continue;
            upgrade.set(name.rawValue, value);
          }
        }));
    ws_->control_callback(
        [weak = weak_from_this()](websocket::frame_type kind, beast::string_view) {
          if (kind != websocket::frame_type::pong) return;
          if (auto self = weak.lock()) self->deliver(WebSocketEvent::pong());
        });
    // The name the request was made for, not where the mapping or the proxy led.
    ws_->async_handshake(
        upgradeResponse_, endpoint_.hostHeader(), endpoint_.target,
        [self = shared_from_this()](beast::error_code ec) {
          if (ec) {
            auto status = self->upgradeResponse_.result_int();
            if (status != 0 && status != 101) {
              return self->fail(
                  {"The server refused the upgrade with status " + std::to_string(status),
                   static_cast<int>(status)});
            }
            return self->fail({"WebSocket upgrade failed: " + ec.message(), std::nullopt});
          }
          self->lowest().expires_never();
          websocket::stream_base::timeout timeouts{};
          timeouts.handshake_timeout = kCloseHandshakeTimeout;
          timeouts.idle_timeout = websocket::stream_base::none();
          timeouts.keep_alive_pings = false;
          self->ws_->set_option(timeouts);
          self->open_ = true;
          self->deliver(WebSocketEvent::connected());
          self->readNext();
        });
  }

  void readNext() {
    ws_->async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->readEnded(ec);
      std::string message = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      self->deliver(self->ws_->got_text() ? WebSocketEvent::text(std::move(message))
                                          : WebSocketEvent::data(std::move(message)));
      self->readNext();
    });
  }

  void readEnded(beast::error_code ec) {
    open_ = false;
    if (closing_) {
      abort();
      return end(WebSocketEvent::disconnected(closeCode_, closeReason_));
    }
    if (ec == websocket::error::closed) {
      const auto& reason = ws_->reason();
      std::optional<std::string> text;
      if (!reason.reason.empty()) text = std::string(reason.reason.c_str(), reason.reason.size());
      return end(WebSocketEvent::disconnected(reason.code == websocket::close_code::none
                                                  ? kWebSocketCloseAbnormal
                                                  : static_cast<int>(reason.code),
                                              std::move(text)));
    }
    abort();
    fail({"The connection ended: " + ec.message(), std::nullopt});
  }

  void writeNext() {
    auto done = [self = shared_from_this()](beast::error_code ec, auto...) {
      if (ec) {
        // The read that is pending reports how the connection ended.
        self->outgoing_.clear();
        self->abort();
        return;
      }
      self->outgoing_.pop_front();
      if (!self->outgoing_.empty()) self->writeNext();
    };
    auto& item = outgoing_.front();
    if (auto* text = std::get_if<std::string>(&item)) {
      ws_->text(true);
      ws_->async_write(net::buffer(*text), done);
    } else if (std::holds_alternative<Ping>(item)) {
      ws_->async_ping({}, done);
    } else {
      const auto& close = std::get<Close>(item);
      websocket::close_reason reason(static_cast<std::uint16_t>(close.code));
      reason.reason = close.reason.substr(0, 120);
      ws_->async_close(reason, done);
    }
  }

  void fail(WebSocketError error) {
    open_ = false;
    logger_.debug("WebSocket failed",
                  base::LoggerMetadata{{"url", request_.url}, {"error", error.message}});
    if (closing_) return end(WebSocketEvent::disconnected(closeCode_, closeReason_));
    end(WebSocketEvent::failed(std::move(error)));
  }

  void end(WebSocketEvent event) {
    if (ended_) return;
    deliver(std::move(event));
    ended_ = true;
  }

  void deliver(WebSocketEvent event) {
    if (ended_) return;
    delegateSyncQueue_->async([handler = handler_, event = std::move(event)] {
      if (handler) handler(event);
    });
  }

  net::io_context& ioc_;
  URLRequest request_;
  TarnixURLSession::ConnectionSettings settings_;
  URLSessionSocket::EventHandler handler_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> delegateSyncQueue_;

  ssl::context tls_{ssl::context::tls_client};
  tcp::resolver resolver_{ioc_};
  std::optional<Stream> ws_;
  detail::SocketEndpoint endpoint_;
  std::string tunnelTarget_;
  http::request<http::empty_body> connectRequest_;
  http::response_parser<http::empty_body> tunnelResponse_;
  websocket::response_type upgradeResponse_;
  beast::flat_buffer buffer_;
  std::deque<Outgoing> outgoing_;
  bool open_ = false;
  bool closing_ = false;
  bool ended_ = false;
  int closeCode_ = kWebSocketCloseNormal;
  std::string closeReason_;
};

// The outer handle. It owns the I/O context, so that completions still queued when it goes
// are destroyed with the context, and with them the connection they keep alive.
class BeastURLSessionSocket final : public URLSessionSocket {
 public:
  BeastURLSessionSocket(URLRequest request, TarnixURLSession::ConnectionSettings settings,
                        EventHandler handler, base::Logger logger)
      : connection_(std::make_shared<Connection>(ioc_, std::move(request), std::move(settings),
                                                 std::move(handler), std::move(logger))) {}

  ~BeastURLSessionSocket() override {
    net::post(ioc_, [connection = connection_] {
      connection->detach();
      connection->abort();
      connection->ioc().stop();
    });
    if (thread_.joinable()) thread_.join();
  }

  void resume() override {
    if (resumed_.exchange(true)) return;
    net::post(ioc_, [connection = connection_] { connection->start(); });
    thread_ = std::thread([this] { ioc_.run(); });
  }

  void send(std::string text) override {
    net::post(ioc_, [connection = connection_, text = std::move(text)]() mutable {
      connection->enqueue(std::move(text));
    });
  }
  void sendPing() override {
    net::post(ioc_, [connection = connection_] { connection->enqueue(Ping{}); });
  }
  void close(int code, std::string reason) override {
    net::post(ioc_, [connection = connection_, code, reason]() mutable {
      connection->close(code, std::move(reason));
    });
    // Never started: the close is reported all the same.
    if (!resumed_.exchange(true)) thread_ = std::thread([this] { ioc_.run(); });
  }

 private:
  net::io_context ioc_{1};
  std::shared_ptr<Connection> connection_;
  std::atomic<bool> resumed_{false};
  std::thread thread_;
};

}  // namespace

WebSocketFactory::WebSocketFactory(std::shared_ptr<CloudFSSession> cfsSession,
                                   std::shared_ptr<const common::FeatureList> featureList,
                                   base::Logger logger)
    : cfsSession_(std::move(cfsSession)),
      featureList_(std::move(featureList)),
      logger_(std::move(logger)) {}

std::shared_ptr<URLSessionSocket> WebSocketFactory::makeSocket(
    URLRequest request, URLSessionSocket::EventHandler handler) {
  TarnixURLSession::ConnectionSettings settings;
  if (cfsSession_ && cfsSession_->urlSession())
    settings = cfsSession_->urlSession()->prepareConnection(request);
  return std::make_shared<BeastURLSessionSocket>(std::move(request), std::move(settings),
                                                 std::move(handler), logger_);
}

}  // namespace tarnix::cloudfs
