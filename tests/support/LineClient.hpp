#pragma once
// A client of a service endpoint: one JSON request line to the Unix-domain socket, one answer
// line back (an empty JSON value when none comes within 10 s).

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "base/JSONValue.hpp"

namespace tarnix::testing {

// One request line to the socket, one answer line back.
class LineClient {
 public:
  explicit LineClient(const std::filesystem::path& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~LineClient() { ::close(fd_); }
  bool connected() const { return connected_; }
  base::JSONValue ask(const std::string& line) {
    const auto request = line + "\n";
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) < 0) return {};
    while (buffer_.find('\n') == std::string::npos) {
      char chunk[1024];
      const auto n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    const auto end = buffer_.find('\n');
    auto parsed = base::parseJSON(buffer_.substr(0, end));
    buffer_.erase(0, end + 1);
    return parsed ? *parsed : base::JSONValue();
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

}  // namespace tarnix::testing
