#include "emulator/HttpsClient.hpp"

#include <curl/curl.h>

#include <strings.h>

#include <algorithm>

namespace tarnix::emulator::testing {

base::JSONValue HttpResult::json() const {
  auto parsed = base::parseJSON(body);
  return parsed ? *parsed : base::JSONValue();
}

namespace {

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<HttpResult*>(user)->body.append(data, size * count);
  return size * count;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  std::string line(data, size * count);
  if (line.starts_with("HTTP/")) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    static_cast<HttpResult*>(user)->statusLines.push_back(std::move(line));
    return size * count;
  }
  auto colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    std::ranges::transform(name, name.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
    static_cast<HttpResult*>(user)->headers[name] = value;
  }
  return size * count;
}

}  // namespace

HttpsClient::HttpsClient(const tarnix::testing::EmulatorProcess& emulator, std::string token)
    : emulator_(emulator), token_(std::move(token)), curl_(curl_easy_init()) {}

HttpsClient::~HttpsClient() {
  curl_easy_cleanup(static_cast<CURL*>(curl_));
}

HttpResult HttpsClient::send(const std::string& method, const std::string& target,
                             std::vector<std::string> headers, const std::string& body,
                             bool syncHost) {
  CURL* curl = static_cast<CURL*>(curl_);
  curl_easy_reset(curl);
  HttpResult result;
  std::string host = (syncHost ? "sync-" : "") + emulator_.host();
  std::string url = "https://" + host + target;
  curl_slist* resolve = nullptr;
  if (syncHost) {
    resolve = curl_slist_append(
        resolve, ("sync-localhost:" + std::to_string(emulator_.port()) + ":127.0.0.1").c_str());
    curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, emulator_.caFile().c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (!body.empty() || method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  if (!token_.empty())
    headers.push_back("Authorization: " + tarnix::testing::EmulatorProcess::authorization(token_));
  const bool expectGiven = std::ranges::any_of(headers, [](const std::string& h) {
    return h.size() >= 7 && strncasecmp(h.c_str(), "Expect:", 7) == 0;
  });
  if (!expectGiven) headers.push_back("Expect:");
  curl_slist* list = nullptr;
  for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  result.curlCode = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  curl_slist_free_all(list);
  curl_slist_free_all(resolve);
  return result;
}

HttpResult HttpsClient::postJSON(const std::string& target, const base::JSONValue& body,
                                 std::vector<std::string> headers, bool syncHost) {
  headers.push_back("Content-Type: application/json");
  return send("POST", target, std::move(headers), base::dumpJSON(body), syncHost);
}

HttpResult HttpsClient::admin(const std::string& method, const std::string& target,
                              const std::string& body) {
  return send(method, target, {"X-Admin-Token: " + emulator_.adminToken()}, body);
}

}  // namespace tarnix::emulator::testing
