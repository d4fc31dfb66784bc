#pragma once
// The endpoint of a service source on this platform: a Unix-domain socket in a given folder
// (mode 0600) carrying one JSON request per line, each answered by one line. What a line means
// is the service's: `answer` turns a request line into its reply line. A line longer than
// 1 MiB is answered as an empty line would be, and the connection is closed.
//
// Threads: one accepting thread and one thread per connection, all joined by stop() (and the
// destructor). `answer` runs on a connection thread and may block that connection only.

#include <atomic>
#include <expected>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/ServiceSource.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

class JSONLineServiceSocket {
 public:
  using Answer = std::function<std::string(const std::string& line)>;

  /// The socket is named `namePrefix` + a random part + ".sock".
  JSONLineServiceSocket(std::filesystem::path directory, std::string namePrefix, Answer answer);
  ~JSONLineServiceSocket();
  JSONLineServiceSocket(const JSONLineServiceSocket&) = delete;
  JSONLineServiceSocket& operator=(const JSONLineServiceSocket&) = delete;

  /// Starts listening on first call; later calls give the same endpoint. Fails after stop().
  std::expected<fp::ServiceEndpoint, fp::Error> endpoint();
  /// Stops accepting, closes every connection, removes the socket file and joins the threads.
  void stop();

 private:
  void acceptLoop();
  void serve(int connection);

  std::filesystem::path directory_;
  std::string namePrefix_;
  Answer answer_;
  std::atomic<bool> stopping_{false};

  // Guards the fields below.
  std::mutex mutex_;
  std::optional<fp::ServiceEndpoint> endpoint_;
  int listener_ = -1;
  std::thread acceptThread_;
  std::vector<std::thread> connectionThreads_;
  std::vector<int> connections_;
};

}  // namespace tarnix::fileprovider
