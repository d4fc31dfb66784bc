#include "fileprovider/sources/JSONLineServiceSocket.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "base/PrivateFiles.hpp"
#include "base/Uuid.hpp"

namespace tarnix::fileprovider {

namespace {

constexpr int kPollMilliseconds = 100;
constexpr std::size_t kMaximumLineLength = 1 << 20;

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const auto n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

JSONLineServiceSocket::JSONLineServiceSocket(std::filesystem::path directory,
                                             std::string namePrefix, Answer answer)
    : directory_(std::move(directory)),
      namePrefix_(std::move(namePrefix)),
      answer_(std::move(answer)) {}

JSONLineServiceSocket::~JSONLineServiceSocket() {
  stop();
}

std::expected<fp::ServiceEndpoint, fp::Error> JSONLineServiceSocket::endpoint() {
  std::lock_guard lock(mutex_);
  if (endpoint_) return *endpoint_;
  if (stopping_) return std::unexpected(fp::Error(fp::FileProviderErrorCode::cannotSynchronize));
  const auto path = directory_ / (namePrefix_ + base::makeUuid().substr(0, 8) + ".sock");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof(address.sun_path)) {
    return std::unexpected(
        fp::Error::fromErrorCode(std::make_error_code(std::errc::filename_too_long)));
  }
  base::createPrivateDirectories(directory_);
  std::memcpy(address.sun_path, path.c_str(), path.native().size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(fp::Error::fromErrorCode({errno, std::system_category()}));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    const int error = errno;
    ::close(fd);
    return std::unexpected(fp::Error::fromErrorCode({error, std::system_category()}));
  }
  ::chmod(path.c_str(), 0600);
  listener_ = fd;
  endpoint_ = fp::ServiceEndpoint{path};
  acceptThread_ = std::thread([this] { acceptLoop(); });
  return *endpoint_;
}

void JSONLineServiceSocket::stop() {
  std::thread acceptThread;
  std::vector<std::thread> connectionThreads;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    acceptThread = std::move(acceptThread_);
  }
  if (acceptThread.joinable()) acceptThread.join();
  {
    std::lock_guard lock(mutex_);
    connectionThreads = std::move(connectionThreads_);
  }
  for (auto& thread : connectionThreads) thread.join();
  std::lock_guard lock(mutex_);
  if (listener_ >= 0) {
    ::close(listener_);
    listener_ = -1;
  }
  if (endpoint_) {
    std::error_code ignored;
    std::filesystem::remove(endpoint_->socketPath, ignored);
  }
}

void JSONLineServiceSocket::acceptLoop() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, kPollMilliseconds);
    if (ready <= 0) continue;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(connection);
      break;
    }
    connections_.push_back(connection);
    connectionThreads_.emplace_back([this, connection] { serve(connection); });
  }
}

void JSONLineServiceSocket::serve(int connection) {
  std::string buffer;
  char chunk[4096];
  while (!stopping_) {
    pollfd waiting{connection, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, kPollMilliseconds);
    if (ready == 0) continue;
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    const auto n = ::recv(connection, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    bool healthy = true;
    for (auto end = buffer.find('\n'); end != std::string::npos; end = buffer.find('\n')) {
      const auto line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      if (!sendAll(connection, answer_(line) + "\n")) healthy = false;
    }
    if (buffer.size() > kMaximumLineLength) {
      sendAll(connection, answer_(std::string()) + "\n");
      healthy = false;
    }
    if (!healthy) break;
  }
  std::lock_guard lock(mutex_);
  connections_.erase(std::remove(connections_.begin(), connections_.end(), connection),
                     connections_.end());
  ::close(connection);
}

}  // namespace tarnix::fileprovider
