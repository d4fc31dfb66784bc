#pragma once
// A small HTTPS server on 127.0.0.1 for transport tests: answers each request with what the
// test's handler returns and records what it received. Its certificate is made for the run
// (CN localhost, SAN localhost and 127.0.0.1); clients trust it through `caFile()`.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnix::testing {

struct RecordedRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::uint64_t bodySize = 0;

  /// The first header of that name (any case).
  std::optional<std::string> header(std::string_view name) const;
};

struct CannedResponse {
  CannedResponse() = default;
  CannedResponse(int status, std::vector<std::pair<std::string, std::string>> headers = {},
                 std::string body = {})
      : status(status), headers(std::move(headers)), body(std::move(body)) {}

  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  /// Bytes written instead of an HTTP response; the connection closes after them.
  std::optional<std::string> raw;
  /// Wait this long before answering.
  std::chrono::milliseconds delay{0};
  /// Announce the body's length but send only its first half, then close.
  bool truncate = false;
};

class TestHTTPSServer {
 public:
  using Handler = std::function<CannedResponse(const RecordedRequest&)>;

  /// `keepBodies` false: request bodies are counted, not kept (for large uploads).
  explicit TestHTTPSServer(Handler handler, bool keepBodies = true);
  ~TestHTTPSServer();

  std::uint16_t port() const;
  /// "https://127.0.0.1:PORT".
  std::string baseURL() const;
  /// PEM file of the server's self-signed certificate.
  const std::filesystem::path& caFile() const;
  /// Requests received so far, in order.
  std::vector<RecordedRequest> requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// A loopback port that nothing listens on.
std::uint16_t unusedLoopbackPort();

}  // namespace tarnix::testing
