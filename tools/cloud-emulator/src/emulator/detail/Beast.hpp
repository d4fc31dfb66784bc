#pragma once
// Network types shared by the server's sessions (kept out of public headers).

#include <fcntl.h>
#include <unistd.h>

#include <utility>  // before Asio, which uses std::exchange

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace tarnix::emulator::detail {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

/// A body that sends part of a file with pread, a block at a time.
struct FileSliceBody {
  class value_type {
   public:
    value_type() = default;
    value_type(int fd, std::uint64_t offset, std::uint64_t length)
        : fd_(fd), offset_(offset), length_(length) {}
    value_type(value_type&& o) noexcept : fd_(o.fd_), offset_(o.offset_), length_(o.length_) {
      o.fd_ = -1;
    }
    value_type& operator=(value_type&& o) noexcept {
      std::swap(fd_, o.fd_);
      offset_ = o.offset_;
      length_ = o.length_;
      return *this;
    }
    ~value_type() {
      if (fd_ >= 0) ::close(fd_);
    }
    std::uint64_t size() const { return length_; }

   private:
    friend struct FileSliceBody;
    int fd_ = -1;
    std::uint64_t offset_ = 0, length_ = 0;
  };

  static std::uint64_t size(const value_type& body) { return body.length_; }

  class writer {
   public:
    using const_buffers_type = net::const_buffer;
    template <bool isRequest, class Fields>
    writer(http::header<isRequest, Fields>&, value_type& body) : body_(body) {}
    void init(beast::error_code& ec) {
      position_ = body_.offset_;
      remaining_ = body_.length_;
      buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, 512 * 1024)));
      ec = {};
    }
    boost::optional<std::pair<const_buffers_type, bool>> get(beast::error_code& ec) {
      ec = {};
      if (remaining_ == 0) return boost::none;
      auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, buffer_.size()));
      ssize_t got = ::pread(body_.fd_, buffer_.data(), want, static_cast<off_t>(position_));
      if (got <= 0) {
        ec = beast::errc::make_error_code(beast::errc::io_error);
        return boost::none;
      }
      position_ += static_cast<std::uint64_t>(got);
      remaining_ -= static_cast<std::uint64_t>(got);
      return std::pair{net::const_buffer(buffer_.data(), static_cast<std::size_t>(got)),
                       remaining_ > 0};
    }

   private:
    value_type& body_;
    std::uint64_t position_ = 0, remaining_ = 0;
    std::vector<char> buffer_;
  };
};

/// The real-time event socket of one client.
class EventSocketSession : public std::enable_shared_from_this<EventSocketSession> {
 public:
  explicit EventSocketSession(TlsStream&& stream) : ws_(std::move(stream)) {}
  /// Accepts the upgrade and then sends {"currentEventId": currentEventId}. A session that does
  /// not `answerPings` never reads: pings (and the client's close) go unanswered.
  void start(http::request<http::empty_body> request, std::int64_t currentEventId,
             bool answerPings);
  /// Queues {"eventId": id}.
  void announce(std::int64_t eventId);
  /// Queues a text message as it is.
  void send(std::string text);
  void close();
  bool isOpen() const { return open_; }

 private:
  void writeNext();
  void readNext();

  websocket::stream<TlsStream> ws_;
  beast::flat_buffer buffer_;
  std::deque<std::string> queue_;
  // A session that never reads has no operation in flight to keep it alive between writes: it
  // keeps itself until it is closed or a write fails.
  std::shared_ptr<EventSocketSession> pinned_;
  bool open_ = false;
};

}  // namespace tarnix::emulator::detail
