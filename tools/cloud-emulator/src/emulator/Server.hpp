#pragma once
// The HTTPS server (HTTP/1.1 with keep-alive, and the real-time event WebSocket) in front of the
// router. Everything runs on one I/O thread: the thread that calls run().

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "emulator/Certificates.hpp"
#include "emulator/Cloud.hpp"
#include "emulator/Faults.hpp"

namespace tarnix::emulator {

struct ServerOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0: any free port
  TlsFiles tls;
  std::string adminToken;          // "X-Admin-Token" for the "/__admin/" endpoints
  std::filesystem::path spoolDir;  // where large request bodies are written while they arrive
};

/// What the admin endpoint may do to the open event sockets (on the server's I/O thread).
struct EventSocketControl {
  /// Closes every open socket; how many there were.
  std::function<int()> closeAll;
  /// Sends the text to every open socket; to how many.
  std::function<int(const std::string&)> push;
  std::function<int()> openCount;
};

class Server {
 public:
  Server(ServerOptions options, Cloud& cloud, FaultInjector& faults, RequestLog& log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// Binds and listens; returns the port. Errors name the address.
  std::expected<std::uint16_t, std::string> listen();
  /// Serves until stop() or, when `handleSignals`, SIGINT or SIGTERM.
  void run(bool handleSignals);
  /// Ends run() soon; callable from any thread.
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnix::emulator
