#include "fileprovider/events/ReconnectingWebSocket.hpp"

#include <algorithm>

namespace tarnix::fileprovider {

using cloudfs::WebSocketEvent;

std::string_view closeReasonText(WebSocketCloseReason reason) {
  switch (reason) {
    case WebSocketCloseReason::onClientRequest:
      return "On client request";
    case WebSocketCloseReason::machineWentToSleep:
      return "Machine went to sleep";
    case WebSocketCloseReason::watchdogTimeout:
      return "Watchdog timeout";
    case WebSocketCloseReason::connectionTimeout:
      return "Connection timeout";
    case WebSocketCloseReason::internal:
      return "Internal";
  }
  return "Internal";
}

namespace {
bool refusesCredentials(const WebSocketEvent& event) {
  return event.error && event.error->httpStatus &&
         (*event.error->httpStatus == 401 || *event.error->httpStatus == 403);
}
}  // namespace

std::shared_ptr<ReconnectingWebSocket> ReconnectingWebSocket::make(
    std::shared_ptr<cloudfs::WebSocketFactory> socketFactory, std::shared_ptr<base::Clock> clock,
    base::Logger logger, Settings settings, std::shared_ptr<base::DispatchQueue> dispatchQueue) {
  return std::make_shared<ReconnectingWebSocket>(std::move(socketFactory), std::move(clock),
                                                 std::move(logger), settings,
                                                 std::move(dispatchQueue));
}

ReconnectingWebSocket::ReconnectingWebSocket(
    std::shared_ptr<cloudfs::WebSocketFactory> socketFactory, std::shared_ptr<base::Clock> clock,
    base::Logger logger, Settings settings, std::shared_ptr<base::DispatchQueue> dispatchQueue)
    : socketFactory_(std::move(socketFactory)),
      clock_(clock ? std::move(clock) : base::Clock::system()),
      logger_(std::move(logger)),
      settings_(settings),
      dispatchQueue_(dispatchQueue
                         ? std::move(dispatchQueue)
                         : base::DispatchQueue::make("com.tarnix.ReconnectingWebSocket")) {}

ReconnectingWebSocket::~ReconnectingWebSocket() {
  // Blocks queued for us hold a weak reference only; the timers are ours to cancel.
  for (const auto& item :
       {connectionTimeoutWorkItem_, reconnectWorkItem_, pingWorkItem_, watchdogWorkItem_}) {
    if (item) item->cancel();
  }
}

void ReconnectingWebSocket::setDelegate(std::weak_ptr<WebSocketDelegate> delegate) {
  dispatchQueue_->async([weak = weak_from_this(), delegate = std::move(delegate)] {
    if (auto self = weak.lock()) self->delegate_ = delegate;
  });
}

void ReconnectingWebSocket::connect(cloudfs::URLRequest request) {
  dispatchQueue_->async([weak = weak_from_this(), request = std::move(request)]() mutable {
    auto self = weak.lock();
    if (!self || self->invalidated_) return;
    self->connectionRequest_ = std::move(request);
    self->wantsConnection_ = true;
    if (self->socket_) self->closeSocket(WebSocketCloseReason::onClientRequest);
    self->cancelTimers();
    self->openSocket();
  });
}

void ReconnectingWebSocket::disconnect(WebSocketCloseReason reason) {
  dispatchQueue_->async([weak = weak_from_this(), reason] {
    auto self = weak.lock();
    if (!self) return;
    self->wantsConnection_ = false;
    self->cancelTimers();
    if (self->socket_) self->closeSocket(reason);
  });
}

void ReconnectingWebSocket::send(std::string text) {
  dispatchQueue_->async([weak = weak_from_this(), text = std::move(text)]() mutable {
    auto self = weak.lock();
    if (self && self->socket_ && self->connected_) self->socket_->send(std::move(text));
  });
}

void ReconnectingWebSocket::invalidate() {
  auto finish = [this] {
    invalidated_ = true;
    wantsConnection_ = false;
    delegate_.reset();
    cancelTimers();
    if (socket_) closeSocket(WebSocketCloseReason::onClientRequest);
    return std::exchange(closing_, {});
  };
  // The sockets go here, off the queue: each waits for its I/O thread as it ends.
  auto sockets = dispatchQueue_->isCurrent() ? finish() : dispatchQueue_->sync(finish);
  sockets.clear();
}

void ReconnectingWebSocket::openSocket() {
  if (!connectionRequest_ || !wantsConnection_ || invalidated_) return;
  const std::uint64_t generation = ++generation_;
  socket_ = socketFactory_->makeSocket(
      *connectionRequest_, [weak = weak_from_this(), generation](WebSocketEvent event) {
        auto self = weak.lock();
        if (!self) return;
        self->dispatchQueue_->async([weak, generation, event = std::move(event)]() mutable {
          if (auto self = weak.lock()) self->handle(generation, std::move(event));
        });
      });
  connectionTimeoutWorkItem_ =
      after(settings_.connectionTimeout, &ReconnectingWebSocket::connectionTimedOut);
  socket_->resume();
}

void ReconnectingWebSocket::handle(std::uint64_t generation, WebSocketEvent event) {
  const bool terminal =
      event.kind == WebSocketEvent::Kind::disconnected || event.kind == WebSocketEvent::Kind::error;
  if (generation != generation_ || !socket_) {
    // A socket we closed has ended; it may go now.
    if (terminal)
      std::erase_if(closing_,
                    [generation](const auto& entry) { return entry.first == generation; });
    return;
  }
  switch (event.kind) {
    case WebSocketEvent::Kind::connected:
      return didOpen();
    case WebSocketEvent::Kind::text:
      if (auto d = delegate()) d->webSocketDidReceive(std::move(event.payload));
      return;
    case WebSocketEvent::Kind::data:
      logger_.debug("Ignoring binary WebSocket message",
                    base::LoggerMetadata{{"size", event.payload.size()}});
      return;
    case WebSocketEvent::Kind::pong:
      isAwaitingPong_ = false;
      if (watchdogWorkItem_) watchdogWorkItem_->cancel();
      return schedulePing();
    case WebSocketEvent::Kind::disconnected:
      return connectionEnded(std::move(event.reason), event.code);
    case WebSocketEvent::Kind::error:
      if (refusesCredentials(event)) {
        const int status = *event.error->httpStatus;
        logger_.error("WebSocket upgrade refused, not reconnecting",
                      base::LoggerMetadata{{"status", status}});
        wantsConnection_ = false;
        dropSocket();
        if (auto d = delegate()) d->webSocketDidFailAuthentication(status);
        return;
      }
      logger_.info("WebSocket failed",
                   base::LoggerMetadata{{"error", event.error ? event.error->message : ""}});
      return connectionEnded(event.error ? std::optional(event.error->message) : std::nullopt,
                             cloudfs::kWebSocketCloseAbnormal);
  }
}

void ReconnectingWebSocket::didOpen() {
  if (connectionTimeoutWorkItem_) connectionTimeoutWorkItem_->cancel();
  connected_ = true;
  isAwaitingPong_ = false;
  if (auto d = delegate()) d->webSocketDidConnect();
  schedulePing();
}

// The connection ended without the client asking.
void ReconnectingWebSocket::connectionEnded(std::optional<std::string> reason, int code) {
  const bool wasConnected = connected_;
  dropSocket();
  if (wasConnected) {
    if (auto d = delegate()) d->webSocketDidDisconnect(std::move(reason), code);
  }
  scheduleReconnect();
}

void ReconnectingWebSocket::closeSocket(WebSocketCloseReason reason) {
  const bool wasConnected = connected_;
  const int code = reason == WebSocketCloseReason::machineWentToSleep
                       ? cloudfs::kWebSocketCloseGoingAway
                       : cloudfs::kWebSocketCloseNormal;
  const std::string text(closeReasonText(reason));
  logger_.debug("Closing WebSocket", base::LoggerMetadata{{"reason", text}});
  socket_->close(code, text);
  closing_.emplace_back(generation_, socket_);
  dropSocket();
  if (wasConnected) {
    if (auto d = delegate()) d->webSocketDidDisconnect(text, code);
  }
}

void ReconnectingWebSocket::dropSocket() {
  socket_.reset();
  connected_ = false;
  isAwaitingPong_ = false;
  ++generation_;
  for (const auto& item : {connectionTimeoutWorkItem_, pingWorkItem_, watchdogWorkItem_}) {
    if (item) item->cancel();
  }
}

void ReconnectingWebSocket::scheduleReconnect() {
  if (!wantsConnection_ || invalidated_) return;
  if (reconnectWorkItem_) reconnectWorkItem_->cancel();
  reconnectWorkItem_ = after(settings_.reconnectInterval, &ReconnectingWebSocket::reconnect);
}

void ReconnectingWebSocket::reconnect() {
  if (!socket_) openSocket();
}

void ReconnectingWebSocket::connectionTimedOut() {
  if (!socket_ || connected_) return;
  closeSocket(WebSocketCloseReason::connectionTimeout);
  scheduleReconnect();
}

void ReconnectingWebSocket::schedulePing() {
  if (pingWorkItem_) pingWorkItem_->cancel();
  pingWorkItem_ = after(settings_.pingInterval, &ReconnectingWebSocket::sendPing);
}

void ReconnectingWebSocket::sendPing() {
  if (!socket_ || !connected_ || isAwaitingPong_) return;
  isAwaitingPong_ = true;
  socket_->sendPing();
  watchdogWorkItem_ = after(settings_.pingTimeout, &ReconnectingWebSocket::watchdogFired);
}

void ReconnectingWebSocket::watchdogFired() {
  if (!socket_ || !isAwaitingPong_) return;
  closeSocket(WebSocketCloseReason::watchdogTimeout);
  scheduleReconnect();
}

void ReconnectingWebSocket::cancelTimers() {
  for (const auto& item :
       {connectionTimeoutWorkItem_, reconnectWorkItem_, pingWorkItem_, watchdogWorkItem_}) {
    if (item) item->cancel();
  }
}

std::shared_ptr<base::DispatchWorkItem> ReconnectingWebSocket::after(
    base::Clock::Duration delay, void (ReconnectingWebSocket::*action)()) {
  // A timer belongs to the connection it was set for: a later one makes it void.
  const std::uint64_t generation = generation_;
  return clock_->after(delay, [weak = weak_from_this(), action, generation] {
    auto self = weak.lock();
    if (!self) return;
    self->dispatchQueue_->async([weak, action, generation] {
      auto self = weak.lock();
      if (!self || self->invalidated_) return;
      if (action != &ReconnectingWebSocket::reconnect && generation != self->generation_) return;
      (self.get()->*action)();
    });
  });
}

}  // namespace tarnix::fileprovider
