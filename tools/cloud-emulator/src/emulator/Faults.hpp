#pragma once
// Fault injection: rules that make matching requests fail in a chosen way, each for its next N
// matches. Rules come from the admin endpoint or a rules file (a JSON array of rule objects):
//   {"path": "^/api/v1/fs-content", "method": "GET", "action": "status", "status": 503,
//    "retryAfter": "120", "body": {...}, "delayMs": 0, "count": 1}
// "path" is an ECMAScript regular expression searched in the decoded path; "action" is one of
// "status", "delay", "drop" (close without answering), "truncate" (send half the body, then
// close), "reset" (send half the body, then reset the connection), "malformed" (a 200 whose
// JSON body is cut short), "ignoreRange" (answer as if the
// request had no "Range" header) and "headers" (answer normally, with the rule's "headers"
// object, e.g. {"ETag": "1"}, set on the answer) and "commitDrop" (the request takes effect,
// then the connection closes without the answer: a lost response). A "status" answer carries
// the rule's "headers" too. "count" -1 means every time. "skip": N lets the first N matching
// requests through untouched before the rule acts; "matchHeaders" ({"X-Tarnix-Chunk-Num":
// "3"}) limits the rule to requests carrying those header values (names in any case).
// Not thread-safe: used from the server's one I/O thread.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "base/JSONValue.hpp"

namespace tarnix::emulator {

enum class FaultAction {
  status,
  delay,
  drop,
  truncate,
  reset,
  malformed,
  ignoreRange,
  headers,
  commitDrop
};

struct FaultRule {
  std::string path;
  std::optional<std::string> method;
  FaultAction action = FaultAction::status;
  int status = 503;
  std::optional<std::string> retryAfter;
  std::optional<base::JSONValue> body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::int64_t delayMs = 0;
  std::int64_t count = 1;
  /// Matching requests still to let through before the rule acts.
  std::int64_t skip = 0;
  std::vector<std::pair<std::string, std::string>> matchHeaders;
  std::regex pattern;
};

class FaultInjector {
 public:
  /// Reads one rule; errors say which field is wrong.
  static std::expected<FaultRule, std::string> parseRule(const base::JSONValue& json);

  void add(FaultRule rule) { rules_.push_back(std::move(rule)); }
  std::expected<void, std::string> addFromJSON(const base::JSONValue& json);
  std::expected<void, std::string> loadFile(const std::filesystem::path& file);
  void clear() { rules_.clear(); }
  /// The first rule matching the request, counted as used (or as skipped).
  std::optional<FaultRule> take(
      const std::string& method, const std::string& path,
      const std::vector<std::pair<std::string, std::string>>& headers = {});
  base::JSONValue describe() const;

 private:
  std::vector<FaultRule> rules_;
};

/// What the emulator received, for tests to read back through the admin endpoint.
struct RecordedRequest {
  std::string method, path, target;
  std::vector<std::pair<std::string, std::string>> query, headers;  // header names lower-case
  std::string body;                                                 // small bodies only
};

class RequestLog {
 public:
  void record(RecordedRequest request);
  void clear() { entries_.clear(); }
  base::JSONValue toJSON() const;

 private:
  std::vector<RecordedRequest> entries_;
};

}  // namespace tarnix::emulator
