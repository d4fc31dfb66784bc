#include "fileprovider/events/REDSocket.hpp"

#include <algorithm>

namespace tarnix::fileprovider {

std::shared_ptr<REDSocket> REDSocket::make(std::shared_ptr<cloudfs::CloudFSSession> cfsSession,
                                           std::shared_ptr<cloudfs::WebSocketFactory> socketFactory,
                                           base::Logger logger, std::shared_ptr<base::Clock> clock,
                                           std::shared_ptr<base::DispatchQueue> socketQueue,
                                           std::shared_ptr<REDEventDownloader> downloader,
                                           Options options) {
  auto socket = std::make_shared<REDSocket>(std::move(cfsSession), std::move(socketFactory),
                                            std::move(logger), std::move(clock),
                                            std::move(socketQueue), std::move(downloader), options);
  std::weak_ptr<REDSocket> weak = socket;
  socket->downloader_->setPublisher([weak](REDSocketEvent event) {
    if (auto self = weak.lock()) self->publish(event);
  });
  return socket;
}

REDSocket::REDSocket(std::shared_ptr<cloudfs::CloudFSSession> cfsSession,
                     std::shared_ptr<cloudfs::WebSocketFactory> socketFactory, base::Logger logger,
                     std::shared_ptr<base::Clock> clock,
                     std::shared_ptr<base::DispatchQueue> socketQueue,
                     std::shared_ptr<REDEventDownloader> downloader, Options options)
    : cfsSession_(std::move(cfsSession)),
      socketFactory_(std::move(socketFactory)),
      logger_(std::move(logger)),
      clock_(clock ? std::move(clock) : base::Clock::system()),
      socketQueue_(socketQueue ? std::move(socketQueue)
                               : base::DispatchQueue::make("com.tarnix.REDSocket")),
      downloader_(downloader ? std::move(downloader) : std::make_shared<NullREDEventDownloader>()),
      options_(options) {}

REDSocket::~REDSocket() {
  if (refreshWorkItem_) refreshWorkItem_->cancel();
  if (webSocket_) webSocket_->invalidate();
}

void REDSocket::onQueue(std::function<void(REDSocket&)> block) {
  // The reconnecting socket shares the queue: its calls are handled as they come.
  if (!socketQueue_->isCurrent()) return later(std::move(block));
  if (!stopped_) block(*this);
}

void REDSocket::later(std::function<void(REDSocket&)> block) {
  socketQueue_->async([weak = weak_from_this(), block = std::move(block)] {
    auto self = weak.lock();
    if (self && !self->stopped_) block(*self);
  });
}

std::shared_ptr<void> REDSocket::subscribe(Subscriber subscriber) {
  auto handle = std::make_shared<Subscriber>(std::move(subscriber));
  later([weak = std::weak_ptr<Subscriber>(handle)](REDSocket& self) {
    self.subscribers_.push_back(weak);
  });
  return handle;
}

void REDSocket::setEventsServer(std::optional<std::string> host) {
  later([host = std::move(host)](REDSocket& self) {
    if (host && host->empty()) {
      self.eventsServer_.reset();
    } else {
      self.eventsServer_ = host;
    }
    self.updateConnection();
  });
}

void REDSocket::setConnectionEnabled(bool enabled) {
  later([enabled](REDSocket& self) {
    if (enabled && self.authenticationFailed_) {
      // Asked again after a refusal: new credentials may have come.
      self.authenticationFailed_ = false;
      self.connectedServer_.reset();
    }
    self.isConnectionEnabled_ = enabled;
    self.updateConnection();
  });
}

void REDSocket::start() {
  later([](REDSocket& self) {
    if (self.started_) return;
    self.started_ = true;
    self.updateConnection();
    self.scheduleRefresh();
  });
}

void REDSocket::stop() {
  std::shared_ptr<ReconnectingWebSocket> webSocket;
  auto finish = [&] {
    stopped_ = true;
    if (refreshWorkItem_) refreshWorkItem_->cancel();
    downloader_->stop();
    subscribers_.clear();
    connected_ = false;
    webSocket = std::exchange(webSocket_, nullptr);
  };
  if (socketQueue_->isCurrent()) {
    finish();
  } else {
    socketQueue_->sync(finish);
  }
  if (webSocket) webSocket->invalidate();
}

void REDSocket::networkReachabilityChanged(bool reachable) {
  later([reachable](REDSocket& self) {
    if (reachable && self.wantsConnection() && !self.connected_) self.refresh();
  });
}

void REDSocket::machineWillSleep() {
  later([](REDSocket& self) {
    self.asleep_ = true;
    if (self.webSocket_) self.webSocket_->disconnect(WebSocketCloseReason::machineWentToSleep);
    self.connectedServer_.reset();
  });
}

void REDSocket::machineDidWake() {
  later([](REDSocket& self) {
    self.asleep_ = false;
    self.updateConnection();
  });
}

std::optional<std::int64_t> REDSocket::lastEventID() const {
  auto id = lastEventID_.load();
  if (id < 0) return std::nullopt;
  return id;
}

bool REDSocket::wantsConnection() const {
  return started_ && !stopped_ && isConnectionEnabled_ && eventsServer_ && !authenticationFailed_ &&
         !asleep_;
}

void REDSocket::updateConnection() {
  if (!wantsConnection()) {
    if (webSocket_) webSocket_->disconnect(WebSocketCloseReason::onClientRequest);
    connectedServer_.reset();
    return;
  }
  if (connectedServer_ != eventsServer_) establishConnection(*eventsServer_);
}

void REDSocket::establishConnection(const std::string& host) {
  if (!webSocket_) {
    // One queue for the connection and its owner: events arrive in the order they happened.
    webSocket_ = ReconnectingWebSocket::make(socketFactory_, clock_, logger_, options_.settings,
                                             socketQueue_);
    webSocket_->setDelegate(std::weak_ptr<WebSocketDelegate>(weak_from_this()));
  }
  cloudfs::URLRequest request;
  request.url = "wss://" + host + std::string(kPath);
  request.timeoutInterval = kRequestTimeout;
  if (cfsSession_) cfsSession_->authorize(request);
  connectedServer_ = host;
  webSocket_->connect(std::move(request));
}

void REDSocket::scheduleRefresh() {
  if (refreshWorkItem_) refreshWorkItem_->cancel();
  refreshWorkItem_ = clock_->after(options_.refreshInterval, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->later([](REDSocket& self) {
        self.refresh();
        self.scheduleRefresh();
      });
    }
  });
}

void REDSocket::refresh() {
  if (wantsConnection() && !connected_) establishConnection(*eventsServer_);
}

void REDSocket::webSocketDidConnect() {
  onQueue([](REDSocket& self) {
    self.logger_.info("Connected to RED");
    self.connected_ = true;
    self.publish(REDSocketEvent::simple(REDSocketEvent::Kind::didConnect));
  });
}

void REDSocket::webSocketDidDisconnect(std::optional<std::string> reason, int code) {
  onQueue([reason = std::move(reason), code](REDSocket& self) {
    self.logger_.info("Disconnected from RED",
                      base::LoggerMetadata{{"reason", reason.value_or("")}, {"code", code}});
    if (reason == closeReasonText(WebSocketCloseReason::watchdogTimeout))
      self.logger_.warning("RED did not receive ACK, reconnecting.");
    self.connected_ = false;
    self.publish(REDSocketEvent::simple(REDSocketEvent::Kind::didDisconnect));
  });
}

void REDSocket::webSocketDidReceive(std::string text) {
  onQueue([text = std::move(text)](REDSocket& self) { self.receive(text); });
}

void REDSocket::webSocketDidFailAuthentication(int httpStatus) {
  onQueue([httpStatus](REDSocket& self) {
    self.logger_.error("RED refused the credentials", base::LoggerMetadata{{"status", httpStatus}});
    self.authenticationFailed_ = true;
    self.connected_ = false;
    self.connectedServer_.reset();
    self.publish(REDSocketEvent::didFailAuthentication(httpStatus));
  });
}

void REDSocket::receive(const std::string& text) {
  auto message = decodeREDIncomingMessage(text, logger_);
  if (!message) return;
  const bool initial = message->kind == REDIncomingMessage::Kind::initial;
  const std::int64_t last = lastEventID_.load();
  if (!initial && last >= 0 && message->eventID <= last) {
    logger_.debug("Ignoring RED event id at or below the last one",
                  base::LoggerMetadata{{"eventID", message->eventID}, {"lastEventID", last}});
    return;
  }
  lastEventID_ = message->eventID;
  publish(REDSocketEvent::didReceive(message->eventID, initial));
  downloader_->didReceive(*message);
}

void REDSocket::publish(const REDSocketEvent& event) {
  if (stopped_) return;
  std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
  auto subscribers = subscribers_;
  for (const auto& weak : subscribers) {
    if (auto subscriber = weak.lock()) (*subscriber)(event);
  }
}

}  // namespace tarnix::fileprovider
