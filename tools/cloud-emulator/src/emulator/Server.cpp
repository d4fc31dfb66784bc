#include "emulator/Server.hpp"

#include <chrono>
#include <csignal>
#include <limits>
#include <optional>
#include <system_error>

#include "base/HTTPHeaderName.hpp"
#include "base/Uuid.hpp"
#include "emulator/Router.hpp"
#include "emulator/detail/Beast.hpp"

namespace tarnix::emulator {

using namespace detail;
using namespace std::chrono_literals;

namespace {
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
constexpr std::uint64_t kMemoryBodyLimit = 1024 * 1024;
constexpr std::uint64_t kNoBodyLimit = std::numeric_limits<std::uint64_t>::max();
constexpr std::string_view kEventSocketPath = "/event/1.0/watch/file_system";
constexpr std::string_view kAdminPrefix = "/__admin/";
}  // namespace

std::optional<Response> adminRoutes(const Request& request, FaultInjector& faults, RequestLog& log,
                                    Cloud& cloud, const EventSocketControl& sockets);

struct Server::Impl {
  Impl(ServerOptions o, Cloud& c, FaultInjector& f, RequestLog& l)
      : options(std::move(o)), cloud(c), faults(f), log(l), router(c) {}

  void accept();
  void broadcast(std::int64_t eventId) {
    forEachOpenSocket([eventId](EventSocketSession& socket) { socket.announce(eventId); });
  }
  int forEachOpenSocket(const std::function<void(EventSocketSession&)>& action) {
    std::erase_if(sockets, [](const auto& weak) { return weak.expired(); });
    int count = 0;
    for (const auto& weak : sockets) {
      auto socket = weak.lock();
      if (!socket || !socket->isOpen()) continue;
      action(*socket);
      ++count;
    }
    return count;
  }
  EventSocketControl socketControl() {
    return {[this] { return forEachOpenSocket([](EventSocketSession& s) { s.close(); }); },
            [this](const std::string& text) {
              return forEachOpenSocket([&text](EventSocketSession& s) { s.send(text); });
            },
            [this] { return forEachOpenSocket([](EventSocketSession&) {}); }};
  }

  ServerOptions options;
  Cloud& cloud;
  FaultInjector& faults;
  RequestLog& log;
  Router router;
  net::io_context ioc{1};
  ssl::context tls{ssl::context::tls_server};
  tcp::acceptor acceptor{ioc};
  std::vector<std::weak_ptr<EventSocketSession>> sockets;
};

namespace {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, Server::Impl& server)
      : stream_(std::move(socket), server.tls), server_(server), timer_(server.ioc) {}

  void start() {
    beast::get_lowest_layer(stream_).expires_after(30s);
    stream_.async_handshake(ssl::stream_base::server,
                            [self = shared_from_this()](beast::error_code ec) {
                              if (!ec) self->readHeader();
                            });
  }

 private:
  void readHeader() {
    header_.emplace();
    header_->header_limit(kHeaderLimit);
    // The header parser would refuse a Content-Length above its default body limit (1 MiB)
    // before the body parser, which sets the real limit, is chosen. The limit is lifted with
    // a number: this Beast compares a length against an empty limit as "greater", so
    // `boost::none` would refuse every body.
    header_->body_limit(kNoBodyLimit);
    beast::get_lowest_layer(stream_).expires_after(300s);
    http::async_read_header(
        stream_, buffer_, *header_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHeader(ec); });
  }

  void onHeader(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == net::error::eof || ec == beast::error::timeout ||
        ec == net::error::operation_aborted || ec == ssl::error::stream_truncated) {
      return abort();
    }
    if (ec == http::error::header_limit) {
      return reply(errorResponse(ApiError{431, "Request header fields too large"}), false, true);
    }
    if (ec)
      return reply(errorResponse(ApiError{400, "Malformed request: " + ec.message()}), false, true);
    beast::get_lowest_layer(stream_).expires_never();
    if (websocket::is_upgrade(header_->get())) return upgrade();
    if (expectsContinue()) return invite();
    readBody();
  }

  bool expectsContinue() {
    const auto& message = header_->get();
    return message.version() >= 11 &&
           beast::iequals(message[http::field::expect], "100-continue") && !header_->is_done();
  }

  // A client that sends "Expect: 100-continue" waits for the interim answer before it sends
  // the body; a stranger gets the final 401 at once and the body is never read.
  void invite() {
    auto& message = header_->get();
    auto target = parseTarget(std::string(message.target()));
    const bool needsUser =
        target && target->first != kHeartBeatPath && !target->first.starts_with(kAdminPrefix);
    if (needsUser) {
      auto authorization = message[http::field::authorization];
      std::optional<std::string> header;
      if (message.find(http::field::authorization) != message.end())
        header = std::string(authorization);
      if (!server_.cloud.authenticate(header)) {
        Response r = errorResponse(ApiError{401, "Authentication required"});
        r.set("WWW-Authenticate", "OAUTH");
        return reply(std::move(r), false, true);
      }
    }
    auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                      message.version());
    http::async_write(stream_, *interim,
                      [self = shared_from_this(), interim](beast::error_code ec, std::size_t) {
                        if (ec) return self->abort();
                        self->readBody();
                      });
  }

  void readBody() {
    auto length = header_->content_length();
    if (header_->chunked() || (length && *length > kMemoryBodyLimit)) {
      spool_ = server_.options.spoolDir / ("body-" + base::makeUuid());
      fileParser_.emplace(std::move(*header_));
      fileParser_->body_limit(kNoBodyLimit);
      beast::error_code openError;
      fileParser_->get().body().open(spool_.c_str(), beast::file_mode::write, openError);
      if (openError)
        return reply(errorResponse(ApiError{500, "Cannot spool the body"}), false, true);
      http::async_read(stream_, buffer_, *fileParser_,
                       [self = shared_from_this()](beast::error_code e, std::size_t) {
                         self->onBody(e, self->fileParser_->get());
                       });
    } else {
      stringParser_.emplace(std::move(*header_));
      stringParser_->body_limit(kMemoryBodyLimit);
      http::async_read(stream_, buffer_, *stringParser_,
                       [self = shared_from_this()](beast::error_code e, std::size_t) {
                         self->onBody(e, self->stringParser_->get());
                       });
    }
  }

  template <class Body>
  Request toRequest(http::request<Body>& message) {
    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    for (const auto& field : message) {
      request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    return request;
  }

  template <class Body>
  void onBody(beast::error_code ec, http::request<Body>& message) {
    if (ec) {
      cleanSpool();
      if (ec == http::error::end_of_stream || ec == net::error::eof) return abort();
      return reply(errorResponse(ApiError{400, "Malformed request body: " + ec.message()}), false,
                   true);
    }
    Request request = toRequest(message);
    keepAlive_ = message.keep_alive();
    if constexpr (std::is_same_v<Body, http::string_body>) {
      request.body = std::move(message.body());
    } else {
      message.body().close();
      request.bodyFile = spool_;
    }
    dispatch(std::move(request));
  }

  void dispatch(Request request) {
    auto target = parseTarget(request.target);
    if (!target) {
      cleanSpool();
      return reply(errorResponse(ApiError{400, "Malformed request target"}), false, true);
    }
    request.path = std::move(target->first);
    request.query = std::move(target->second);
    if (request.path.starts_with(kAdminPrefix)) return admin(request);
    server_.log.record(RecordedRequest{request.method, request.path, request.target, request.query,
                                       request.headers, request.body});
    auto fault = server_.faults.take(request.method, request.path, request.headers);
    if (fault && fault->delayMs > 0) {
      timer_.expires_after(std::chrono::milliseconds(fault->delayMs));
      timer_.async_wait([self = shared_from_this(), request = std::move(request),
                         fault](beast::error_code ec) mutable {
        if (!ec) self->handle(std::move(request), fault);
      });
      return;
    }
    handle(std::move(request), fault);
  }

  void handle(Request request, const std::optional<FaultRule>& fault) {
    bool truncate = false;
    Response response;
    if (fault && fault->action == FaultAction::drop) {
      cleanSpool();
      return abort();
    }
    if (fault && fault->action == FaultAction::status) {
      response = fault->body ? Response::json(fault->status, *fault->body)
                             : errorResponse(ApiError{fault->status, "Injected failure"});
      if (fault->retryAfter) response.set("Retry-After", *fault->retryAfter);
      for (const auto& [name, value] : fault->headers) response.set(name, value);
    } else {
      if (fault && fault->action == FaultAction::ignoreRange) {
        std::erase_if(request.headers, [](const auto& field) {
          return base::equalsIgnoringASCIICase(field.first, "Range");
        });
      }
      response = server_.router.handle(request);
    }
    if (fault && fault->action == FaultAction::headers) {
      for (const auto& [name, value] : fault->headers) response.set(name, value);
    }
    cleanSpool();
    if (fault && fault->action == FaultAction::malformed) {
      response.status = 200;
      response.file.reset();
      response.body = "{\"events\": [{\"revision\": 1, \"act";
      response.set("Content-Type", "application/json");
    }
    if (fault && fault->action == FaultAction::commitDrop) return abort();
    if (fault && fault->action == FaultAction::truncate) truncate = true;
    if (fault && fault->action == FaultAction::reset) truncate = resetOnAbort_ = true;
    reply(std::move(response), request.method == "HEAD", !keepAlive_, truncate);
  }

  void admin(const Request& request) {
    auto remote = beast::get_lowest_layer(stream_).socket().remote_endpoint(ignored_);
    if (request.header("X-Admin-Token") != server_.options.adminToken ||
        !remote.address().is_loopback()) {
      return reply(errorResponse(ApiError{401, "Admin token required"}), false, !keepAlive_);
    }
    auto response =
        adminRoutes(request, server_.faults, server_.log, server_.cloud, server_.socketControl());
    reply(response ? std::move(*response) : errorResponse(ApiError{404, "No such admin endpoint"}),
          false, !keepAlive_);
  }

  void upgrade() {
    auto& message = header_->get();
    Request request = toRequest(message);
    auto target = parseTarget(request.target);
    if (target)
      server_.log.record(
          {request.method, target->first, request.target, target->second, request.headers, ""});
    if (!target || target->first != kEventSocketPath) {
      return reply(errorResponse(ApiError{404, "No such socket"}), false, true);
    }
    if (!server_.cloud.authenticate(request.header("Authorization"))) {
      return reply(errorResponse(ApiError{401, "Authentication required"}), false, true);
    }
    const auto& switches = server_.cloud.eventSwitches();
    if (switches.refuseUpgrade) {
      return reply(errorResponse(ApiError{*switches.refuseUpgrade, "Upgrade refused"}), false,
                   true);
    }
    auto socket = std::make_shared<EventSocketSession>(std::move(stream_));
    server_.sockets.push_back(socket);
    socket->start(header_->release(), server_.cloud.store().lastEventId(), switches.answerPings);
  }

  void reply(Response response, bool head, bool close, bool truncate = false) {
    std::uint64_t fullSize = response.bodySize();
    auto finish = [self = shared_from_this(), close, truncate](beast::error_code ec, std::size_t) {
      if (ec || truncate) return self->abort();
      if (close) return self->shutdown();
      self->readHeader();
    };
    auto prepare = [&](auto& message) {
      message.result(static_cast<unsigned>(response.status));
      message.keep_alive(!close);
      for (const auto& [name, value] : response.headers) message.insert(name, value);
      bool noBody = response.status == 304 || response.status == 204 || response.status < 200;
      if (!noBody) message.content_length(fullSize);
    };
    if (truncate) {
      if (response.file) response.file->length /= 2;
      response.body.resize(response.body.size() / 2);
    }
    if (response.file && !head) {
      int fd = ::open(response.file->file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return reply(errorResponse(ApiError{500, "Content file missing"}), false, close);
      auto message = std::make_shared<http::response<FileSliceBody>>();
      prepare(*message);
      message->body() = FileSliceBody::value_type(fd, response.file->offset, response.file->length);
      http::async_write(stream_, *message, [message, finish](auto ec, auto n) { finish(ec, n); });
      return;
    }
    auto message = std::make_shared<http::response<http::string_body>>();
    prepare(*message);
    if (!head) message->body() = std::move(response.body);
    http::async_write(stream_, *message, [message, finish](auto ec, auto n) { finish(ec, n); });
  }

  void shutdown() {
    beast::get_lowest_layer(stream_).expires_after(5s);
    stream_.async_shutdown([self = shared_from_this()](beast::error_code) { self->abort(); });
  }

  void abort() {
    beast::error_code ec;
    auto& socket = beast::get_lowest_layer(stream_).socket();
    if (resetOnAbort_) {
      // Closing with a zero linger sends a reset instead of the orderly end.
      socket.set_option(net::socket_base::linger(true, 0), ec);
    } else {
      socket.shutdown(tcp::socket::shutdown_both, ec);
    }
    beast::get_lowest_layer(stream_).close();
  }

  void cleanSpool() {
    if (spool_.empty()) return;
    std::error_code ec;
    std::filesystem::remove(spool_, ec);
    spool_.clear();
  }

  TlsStream stream_;
  Server::Impl& server_;
  net::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> header_;
  std::optional<http::request_parser<http::string_body>> stringParser_;
  std::optional<http::request_parser<http::file_body>> fileParser_;
  std::filesystem::path spool_;
  bool keepAlive_ = true;
  bool resetOnAbort_ = false;
  beast::error_code ignored_;
};

}  // namespace

void Server::Impl::accept() {
  acceptor.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) std::make_shared<HttpSession>(std::move(socket), *this)->start();
    accept();
  });
}

Server::Server(ServerOptions options, Cloud& cloud, FaultInjector& faults, RequestLog& log)
    : impl_(std::make_unique<Impl>(std::move(options), cloud, faults, log)) {
  cloud.setEventListener([impl = impl_.get()](std::int64_t id) { impl->broadcast(id); });
}

Server::~Server() {
  impl_->cloud.setEventListener({});
}

std::expected<std::uint16_t, std::string> Server::listen() {
  try {
    auto& tls = impl_->tls;
    tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                    ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    tls.use_certificate_chain_file(impl_->options.tls.serverCertificate.string());
    tls.use_private_key_file(impl_->options.tls.serverKey.string(), ssl::context::pem);
    tcp::endpoint endpoint(net::ip::make_address(impl_->options.address), impl_->options.port);
    auto& acceptor = impl_->acceptor;
    acceptor.open(endpoint.protocol());
    acceptor.set_option(net::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(net::socket_base::max_listen_connections);
    impl_->accept();
    return acceptor.local_endpoint().port();
  } catch (const std::exception& e) {
    return std::unexpected("cannot listen on " + impl_->options.address + ":" +
                           std::to_string(impl_->options.port) + ": " + e.what());
  }
}

void Server::run(bool handleSignals) {
  std::optional<net::signal_set> signals;
  if (handleSignals) {
    signals.emplace(impl_->ioc, SIGINT, SIGTERM);
    signals->async_wait([this](beast::error_code ec, int) {
      if (!ec) stop();
    });
  }
  impl_->ioc.run();
}

void Server::stop() {
  net::post(impl_->ioc, [impl = impl_.get()] {
    beast::error_code ec;
    impl->acceptor.close(ec);
    for (const auto& weak : impl->sockets) {
      if (auto socket = weak.lock()) socket->close();
    }
    impl->ioc.stop();
  });
}

}  // namespace tarnix::emulator
