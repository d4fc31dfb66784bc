#include "emulator/Http.hpp"

#include <algorithm>
#include <cctype>

namespace tarnix::emulator {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

namespace {
std::optional<std::string> find(const NameValues& items, std::string_view name, bool anyCase) {
  for (const auto& [key, value] : items) {
    if (anyCase ? equalsIgnoringCase(key, name) : key == name) return value;
  }
  return std::nullopt;
}
}  // namespace

std::optional<std::string> Request::header(std::string_view name) const {
  return find(headers, name, true);
}

std::optional<std::string> Request::queryValue(std::string_view name) const {
  return find(query, name, false);
}

std::vector<std::string> Request::queryValues(std::string_view name) const {
  std::vector<std::string> result;
  for (const auto& [key, value] : query) {
    if (key == name) result.push_back(value);
  }
  return result;
}

std::string Request::hostName() const {
  std::string host = header("Host").value_or("");
  if (!host.empty() && host.front() == '[') {
    host = host.substr(0, host.find(']') + 1);
  } else if (auto colon = host.find(':'); colon != std::string::npos) {
    host.resize(colon);
  }
  std::ranges::transform(host, host.begin(), [](unsigned char c) { return std::tolower(c); });
  return host;
}

void Response::set(std::string name, std::string value) {
  for (auto& [key, current] : headers) {
    if (equalsIgnoringCase(key, name)) {
      current = std::move(value);
      return;
    }
  }
  headers.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> Response::header(std::string_view name) const {
  return find(headers, name, true);
}

Response Response::json(int status, const base::JSONValue& value) {
  Response r;
  r.status = status;
  r.body = base::dumpJSON(value);
  r.set("Content-Type", "application/json");
  return r;
}

Response Response::empty(int status) {
  Response r;
  r.status = status;
  return r;
}

Response errorResponse(const ApiError& error) {
  if (error.body) return Response::json(error.status, *error.body);
  base::JSONValue body = base::JSONValue::object();
  body["errorMessage"] = error.message;
  body["message"] = error.message;
  if (error.code) body["code"] = *error.code;
  if (!error.inputErrors.empty()) {
    auto list = base::JSONValue::array();
    for (const auto& [name, code] : error.inputErrors)
      list.push_back({{"name", name}, {"code", code}});
    body["inputErrors"] = list;
  }
  Response r = Response::json(error.status, body);
  if (error.code) r.set("X-Tarnix-ErrorCode", *error.code);
  return r;
}

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      auto hex = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        if (h >= 'A' && h <= 'F') return h - 'A' + 10;
        return -1;
      };
      int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else if (c == '+' && plusIsSpace) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string percentEncodePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (std::isalnum(c) || std::string_view("/-._~!$&'()*+,;=:@").find(static_cast<char>(c)) !=
                               std::string_view::npos) {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::optional<std::pair<std::string, NameValues>> parseTarget(std::string_view target) {
  if (target.empty() || target.front() != '/') return std::nullopt;
  std::string_view rawPath = target.substr(0, target.find('?'));
  auto path = percentDecode(rawPath, false);
  if (!path) return std::nullopt;
  NameValues query;
  if (rawPath.size() < target.size()) {
    std::string_view rest = target.substr(rawPath.size() + 1);
    while (!rest.empty()) {
      std::string_view item = rest.substr(0, rest.find('&'));
      rest.remove_prefix(std::min(rest.size(), item.size() + 1));
      if (item.empty()) continue;
      auto eq = item.find('=');
      auto name = percentDecode(item.substr(0, eq), true);
      auto value = percentDecode(eq == std::string_view::npos ? "" : item.substr(eq + 1), true);
      if (!name || !value) return std::nullopt;
      query.emplace_back(std::move(*name), std::move(*value));
    }
  }
  return std::pair{std::move(*path), std::move(query)};
}

}  // namespace tarnix::emulator
