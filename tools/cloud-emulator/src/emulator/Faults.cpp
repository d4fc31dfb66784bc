#include "emulator/Faults.hpp"

#include "base/HTTPHeaderName.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace tarnix::emulator {

namespace {
constexpr std::size_t kMaxRecorded = 20000;
constexpr std::size_t kMaxRecordedBody = 64 * 1024;

const std::pair<const char*, FaultAction> kActions[] = {{"status", FaultAction::status},
                                                        {"delay", FaultAction::delay},
                                                        {"drop", FaultAction::drop},
                                                        {"truncate", FaultAction::truncate},
                                                        {"reset", FaultAction::reset},
                                                        {"malformed", FaultAction::malformed},
                                                        {"ignoreRange", FaultAction::ignoreRange},
                                                        {"headers", FaultAction::headers},
                                                        {"commitDrop", FaultAction::commitDrop}};

bool hasHeaders(const std::vector<std::pair<std::string, std::string>>& wanted,
                const std::vector<std::pair<std::string, std::string>>& headers) {
  return std::ranges::all_of(wanted, [&](const auto& want) {
    return std::ranges::any_of(headers, [&](const auto& field) {
      return base::equalsIgnoringASCIICase(field.first, want.first) && field.second == want.second;
    });
  });
}
}  // namespace

std::expected<FaultRule, std::string> FaultInjector::parseRule(const base::JSONValue& json) {
  if (!json.is_object()) return std::unexpected("a rule must be a JSON object");
  FaultRule rule;
  rule.path = base::jsonString(json, "path").value_or("");
  try {
    rule.pattern = std::regex(rule.path, std::regex::ECMAScript);
  } catch (const std::regex_error& e) {
    return std::unexpected("bad \"path\" pattern: " + std::string(e.what()));
  }
  rule.method = base::jsonString(json, "method");
  std::string action = base::jsonString(json, "action").value_or("status");
  auto known = std::ranges::find(kActions, action, &std::pair<const char*, FaultAction>::first);
  if (known == std::end(kActions)) return std::unexpected("unknown \"action\": " + action);
  rule.action = known->second;
  rule.status = static_cast<int>(base::jsonInt(json, "status").value_or(503));
  if (rule.status < 100 || rule.status > 599) return std::unexpected("\"status\" out of range");
  rule.retryAfter = base::jsonString(json, "retryAfter");
  if (auto it = json.find("body"); it != json.end()) rule.body = *it;
  if (auto it = json.find("headers"); it != json.end()) {
    if (!it->is_object()) return std::unexpected("\"headers\" must be an object");
    for (const auto& [name, value] : it->items()) {
      if (!value.is_string()) return std::unexpected("header values must be strings");
      rule.headers.emplace_back(name, value.get<std::string>());
    }
  }
  if (auto it = json.find("matchHeaders"); it != json.end()) {
    if (!it->is_object()) return std::unexpected("\"matchHeaders\" must be an object");
    for (const auto& [name, value] : it->items()) {
      if (!value.is_string()) return std::unexpected("\"matchHeaders\" values must be strings");
      rule.matchHeaders.emplace_back(name, value.get<std::string>());
    }
  }
  rule.skip = base::jsonInt(json, "skip").value_or(0);
  if (rule.skip < 0) return std::unexpected("\"skip\" must not be negative");
  rule.delayMs = std::clamp<std::int64_t>(base::jsonInt(json, "delayMs").value_or(0), 0, 600000);
  rule.count = base::jsonInt(json, "count").value_or(1);
  if (rule.count == 0 || rule.count < -1)
    return std::unexpected("\"count\" must be positive or -1");
  return rule;
}

std::expected<void, std::string> FaultInjector::addFromJSON(const base::JSONValue& json) {
  std::vector<FaultRule> parsed;
  for (const auto& item : json.is_array() ? json : base::JSONValue::array({json})) {
    auto rule = parseRule(item);
    if (!rule) return std::unexpected(rule.error());
    parsed.push_back(std::move(*rule));
  }
  for (auto& rule : parsed) add(std::move(rule));
  return {};
}

std::expected<void, std::string> FaultInjector::loadFile(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return std::unexpected("cannot read " + file.string());
  std::stringstream text;
  text << in.rdbuf();
  auto json = base::parseJSON(text.str());
  if (!json) return std::unexpected(file.string() + ": " + json.error().message);
  return addFromJSON(*json);
}

std::optional<FaultRule> FaultInjector::take(
    const std::string& method, const std::string& path,
    const std::vector<std::pair<std::string, std::string>>& headers) {
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (it->method && *it->method != method) continue;
    if (!std::regex_search(path, it->pattern)) continue;
    if (!hasHeaders(it->matchHeaders, headers)) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    FaultRule rule = *it;
    if (it->count > 0 && --it->count == 0) rules_.erase(it);
    return rule;
  }
  return std::nullopt;
}

base::JSONValue FaultInjector::describe() const {
  base::JSONValue list = base::JSONValue::array();
  for (const auto& rule : rules_) {
    auto action =
        std::ranges::find(kActions, rule.action, &std::pair<const char*, FaultAction>::second);
    list.push_back({{"path", rule.path},
                    {"method", rule.method.value_or("")},
                    {"action", action->first},
                    {"status", rule.status},
                    {"count", rule.count},
                    {"skip", rule.skip}});
  }
  return list;
}

void RequestLog::record(RecordedRequest request) {
  if (entries_.size() >= kMaxRecorded) entries_.erase(entries_.begin());
  for (auto& [name, value] : request.headers) {
    std::ranges::transform(name, name.begin(), [](unsigned char c) { return std::tolower(c); });
  }
  if (request.body.size() > kMaxRecordedBody) request.body.clear();
  entries_.push_back(std::move(request));
}

base::JSONValue RequestLog::toJSON() const {
  base::JSONValue list = base::JSONValue::array();
  for (const auto& r : entries_) {
    base::JSONValue query = base::JSONValue::array();
    for (const auto& [name, value] : r.query) query.push_back({name, value});
    base::JSONValue headers = base::JSONValue::object();
    for (const auto& [name, value] : r.headers) headers[name] = value;
    list.push_back({{"method", r.method},
                    {"path", r.path},
                    {"target", r.target},
                    {"query", query},
                    {"headers", headers},
                    {"body", r.body}});
  }
  return list;
}

}  // namespace tarnix::emulator
