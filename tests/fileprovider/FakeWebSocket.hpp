#pragma once
// A WebSocket transport that connects nowhere: the test says what the server did (connected,
// sent a text, answered a ping, closed, refused the upgrade) and reads what the client did.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cloudfs/URLSessionSocket.hpp"

namespace tarnix::testing {

class FakeURLSessionSocket final : public cloudfs::URLSessionSocket {
 public:
  FakeURLSessionSocket(cloudfs::URLRequest request, EventHandler handler)
      : request(std::move(request)), handler_(std::move(handler)) {}

  void resume() override {
    std::lock_guard lock(mutex_);
    resumed_ = true;
  }
  void send(std::string text) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(std::move(text));
  }
  void sendPing() override {
    std::lock_guard lock(mutex_);
    ++pings_;
  }
  void close(int code, std::string reason) override {
    std::lock_guard lock(mutex_);
    closes_.emplace_back(code, std::move(reason));
  }

  /// What the server did, reported as the real transport would.
  void emit(cloudfs::WebSocketEvent event) { handler_(std::move(event)); }

  bool resumed() const {
    std::lock_guard lock(mutex_);
    return resumed_;
  }
  int pings() const {
    std::lock_guard lock(mutex_);
    return pings_;
  }
  std::vector<std::pair<int, std::string>> closes() const {
    std::lock_guard lock(mutex_);
    return closes_;
  }
  std::vector<std::string> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }

  const cloudfs::URLRequest request;

 private:
  EventHandler handler_;
  mutable std::mutex mutex_;
  bool resumed_ = false;
  int pings_ = 0;
  std::vector<std::pair<int, std::string>> closes_;
  std::vector<std::string> sent_;
};

class FakeWebSocketFactory final : public cloudfs::WebSocketFactory {
 public:
  FakeWebSocketFactory() : cloudfs::WebSocketFactory(nullptr, nullptr, base::Logger::null()) {}

  std::shared_ptr<cloudfs::URLSessionSocket> makeSocket(
      cloudfs::URLRequest request, cloudfs::URLSessionSocket::EventHandler handler) override {
    auto socket = std::make_shared<FakeURLSessionSocket>(std::move(request), std::move(handler));
    std::lock_guard lock(mutex_);
    sockets_.push_back(socket);
    return socket;
  }

  std::vector<std::shared_ptr<FakeURLSessionSocket>> sockets() const {
    std::lock_guard lock(mutex_);
    return sockets_;
  }
  std::shared_ptr<FakeURLSessionSocket> last() const {
    std::lock_guard lock(mutex_);
    return sockets_.empty() ? nullptr : sockets_.back();
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return sockets_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeURLSessionSocket>> sockets_;
};

}  // namespace tarnix::testing
