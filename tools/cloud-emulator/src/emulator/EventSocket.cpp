// The real-time event WebSocket: the current event id on connect, then one message per event.
#include "base/JSONValue.hpp"
#include "emulator/detail/Beast.hpp"

namespace tarnix::emulator::detail {

void EventSocketSession::start(http::request<http::empty_body> request, std::int64_t currentEventId,
                               bool answerPings) {
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws_.async_accept(request,
                   [self = shared_from_this(), currentEventId, answerPings](beast::error_code ec) {
                     if (ec) return;
                     self->open_ = true;
                     self->send(base::dumpJSON({{"currentEventId", currentEventId}}));
                     // Control frames are answered only while a read is pending.
                     if (answerPings) {
                       self->readNext();
                     } else {
                       self->pinned_ = self;
                     }
                   });
}

void EventSocketSession::announce(std::int64_t eventId) {
  if (open_) send(base::dumpJSON({{"eventId", eventId}}));
}

void EventSocketSession::close() {
  if (!open_) return;
  open_ = false;
  ws_.async_close(websocket::close_code::going_away,
                  [self = shared_from_this()](auto) { self->pinned_.reset(); });
}

void EventSocketSession::send(std::string text) {
  if (!open_) return;
  queue_.push_back(std::move(text));
  if (queue_.size() == 1) writeNext();
}

void EventSocketSession::writeNext() {
  ws_.text(true);
  ws_.async_write(net::buffer(queue_.front()),
                  [self = shared_from_this()](beast::error_code ec, std::size_t) {
                    if (ec) {
                      self->open_ = false;
                      self->pinned_.reset();
                      return;
                    }
                    self->queue_.pop_front();
                    if (!self->queue_.empty()) self->writeNext();
                  });
}

void EventSocketSession::readNext() {
  // Control frames (ping, pong, close) are answered by the stream while a read is pending;
  // text messages from the client carry nothing we act on, except a plain "ping".
  ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
    if (ec) {
      self->open_ = false;
      return;
    }
    std::string text = beast::buffers_to_string(self->buffer_.data());
    self->buffer_.consume(self->buffer_.size());
    if (text == "ping") self->send("pong");
    self->readNext();
  });
}

}  // namespace tarnix::emulator::detail
