#pragma once
// A small libcurl client for the emulator tests: one handle, so requests reuse the connection.

#include <map>
#include <string>
#include <vector>

#include "base/JSONValue.hpp"
#include "support/EmulatorProcess.hpp"

namespace tarnix::emulator::testing {

struct HttpResult {
  int curlCode = 0;  // CURLE_OK is 0
  long status = 0;
  std::map<std::string, std::string> headers;  // lower-case names
  std::vector<std::string> statusLines;        // every response line, interim ones included
  std::string body;

  std::string header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? "" : it->second;
  }
  base::JSONValue json() const;
};

class HttpsClient {
 public:
  /// Signs in with `token` (empty: no Authorization header).
  HttpsClient(const tarnix::testing::EmulatorProcess& emulator, std::string token);
  ~HttpsClient();

  /// `target` is path and query, already encoded. Extra headers are "Name: value". The client
  /// sends no "Expect" header unless `headers` has one.
  HttpResult send(const std::string& method, const std::string& target,
                  std::vector<std::string> headers = {}, const std::string& body = "",
                  bool syncHost = false);
  HttpResult get(const std::string& target, std::vector<std::string> headers = {}) {
    return send("GET", target, std::move(headers));
  }
  HttpResult postJSON(const std::string& target, const base::JSONValue& body,
                      std::vector<std::string> headers = {}, bool syncHost = false);
  /// Admin endpoints with the emulator's admin token.
  HttpResult admin(const std::string& method, const std::string& target,
                   const std::string& body = "");

 private:
  const tarnix::testing::EmulatorProcess& emulator_;
  std::string token_;
  void* curl_;
};

}  // namespace tarnix::emulator::testing
