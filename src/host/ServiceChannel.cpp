#include "host/ServiceChannel.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>

#include "base/PrivateFiles.hpp"

namespace tarnix::host {

namespace fs = std::filesystem;
namespace fp = platform::fileprovider;

namespace {

// Replies longer than this are not a service's.
constexpr std::size_t kLongestReply = 4u << 20;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::expected<ServiceEndpoints, std::string> rootServiceEndpoints(
    fp::ReplicatedExtension& extension, std::chrono::milliseconds wait) {
  using Answer = std::pair<std::vector<fp::ServiceSourcePtr>, std::optional<fp::Error>>;
  auto promise = std::make_shared<std::promise<Answer>>();
  auto future = promise->get_future();
  extension.supportedServiceSources(
      fp::ItemIdentifier::rootContainer(),
      [promise](std::vector<fp::ServiceSourcePtr> sources, std::optional<fp::Error> error) {
        promise->set_value({std::move(sources), std::move(error)});
      });
  if (future.wait_for(wait) != std::future_status::ready)
    return std::unexpected("the drive's services did not answer in time");
  auto [sources, error] = future.get();
  if (error)
    return std::unexpected("the drive's services are not available: " + error->description());
  ServiceEndpoints endpoints;
  for (const auto& source : sources) {
    if (!source) continue;
    auto endpoint = source->makeListenerEndpoint();
    if (!endpoint) {
      return std::unexpected("the drive's service " + source->serviceName() +
                             " could not listen: " + endpoint.error().description());
    }
    endpoints[source->serviceName()] = endpoint->socketPath;
  }
  return endpoints;
}

fs::path publishedServicesFile(const fs::path& stateDirectory) {
  return stateDirectory / "services.json";
}

std::expected<void, std::string> publishServices(const fs::path& stateDirectory,
                                                 const ServiceEndpoints& endpoints) {
  auto json = base::JSONValue::object();
  for (const auto& [name, socket] : endpoints) json[name] = socket.string();
  const auto file = publishedServicesFile(stateDirectory);
  auto temporary = file;
  temporary += ".new";
  const int fd = base::openPrivateFile(temporary, O_WRONLY | O_TRUNC);
  if (fd < 0) return std::unexpected(temporary.string() + ": " + std::strerror(errno));
  const auto text = json.dump() + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  std::error_code ec;
  if (written) fs::rename(temporary, file, ec);
  if (!written || ec) {
    fs::remove(temporary, ec);
    return std::unexpected(file.string() + ": cannot be written");
  }
  return {};
}

std::expected<ServiceEndpoints, std::string> readPublishedServices(const fs::path& stateDirectory) {
  const auto file = publishedServicesFile(stateDirectory);
  std::ifstream in(file);
  if (!in)
    return std::unexpected("the mount has not published its services (" + file.string() + ")");
  std::stringstream text;
  text << in.rdbuf();
  auto json = base::parseJSON(text.str());
  if (!json || !json->is_object())
    return std::unexpected(file.string() + " is not what a mount writes");
  ServiceEndpoints endpoints;
  for (const auto& [name, socket] : json->items()) {
    if (socket.is_string()) endpoints[name] = socket.get<std::string>();
  }
  return endpoints;
}

std::expected<base::JSONValue, std::string> callService(const fs::path& socket,
                                                        const std::string& method,
                                                        const base::JSONValue& params,
                                                        std::chrono::milliseconds timeout) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const auto path = socket.string();
  if (path.size() >= sizeof(address.sun_path))
    return std::unexpected("the service's socket path is too long: " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  Socket connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connection.fd() < 0) return std::unexpected(std::string("socket: ") + std::strerror(errno));
  if (::connect(connection.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    return std::unexpected("cannot reach the drive's service at " + path + ": " +
                           std::strerror(errno));
  const std::string request =
      base::JSONValue({{"id", 1}, {"method", method}, {"params", params}}).dump() + "\n";
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n =
        ::send(connection.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return std::unexpected(std::string("sending to the drive's service: ") +
                             std::strerror(errno));
    sent += static_cast<std::size_t>(n);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string reply;
  while (reply.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::unexpected("the drive's service did not answer in time");
    pollfd p{connection.fd(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::recv(connection.fd(), buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return std::unexpected("the drive's service closed the connection without an answer");
    reply.append(buffer, static_cast<std::size_t>(n));
    if (reply.size() > kLongestReply)
      return std::unexpected("the drive's service answered too much");
  }
  reply.resize(reply.find('\n'));
  auto json = base::parseJSON(reply);
  if (!json || !json->is_object())
    return std::unexpected("the drive's service answered something unreadable");
  if (auto error = json->find("error"); error != json->end() && !error->is_null()) {
    std::string message = "the drive's service failed";
    if (error->is_object()) {
      if (auto m = error->find("message"); m != error->end() && m->is_string())
        message = m->get<std::string>();
      else if (auto d = error->find("description"); d != error->end() && d->is_string())
        message = d->get<std::string>();
    }
    return std::unexpected(message);
  }
  return json->value("result", base::JSONValue());
}

}  // namespace tarnix::host
