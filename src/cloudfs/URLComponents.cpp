#include "cloudfs/URLComponents.hpp"

namespace tarnix::cloudfs {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool isUnreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}
bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isPathChar(char c) {
  return isUnreserved(c) || c == '/' || c == ':' || c == '@' || c == '!' || c == '$' || c == '&' ||
         c == '\'' || c == '(' || c == ')' || c == '*' || c == '+' || c == ',' || c == ';' ||
         c == '=';
}

std::string encode(std::string_view text, bool (*keep)(char)) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (keep(c)) {
      out.push_back(c);
    } else {
      auto u = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0xF]);
    }
  }
  return out;
}

bool validHost(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.' || c == ':' || c == '[' || c == ']' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool validPath(std::string_view path) {
  if (!path.empty() && path.front() != '/') return false;
  for (std::size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '%') {
      if (i + 2 >= path.size() || !isHexDigit(path[i + 1]) || !isHexDigit(path[i + 2])) {
        return false;
      }
      i += 2;
    } else if (!isPathChar(c)) {
      return false;
    }
  }
  return true;
}

bool isQueryKept(char c) {
  return isUnreserved(c) || c == '/' || c == ':' || c == '@' || c == '!' || c == '$' || c == '\'' ||
         c == '(' || c == ')' || c == '*' || c == ',' || c == ';';
}
bool isSegmentKept(char c) {
  return isUnreserved(c);
}

}  // namespace

std::string percentEncodeQueryComponent(std::string_view text) {
  return encode(text, isQueryKept);
}

std::string percentEncodePathSegment(std::string_view segment) {
  return encode(segment, isSegmentKept);
}

std::string percentEncodePath(std::string_view cloudPath) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    auto slash = cloudPath.find('/', start);
    out += encode(cloudPath.substr(start, slash - start), isSegmentKept);
    if (slash == std::string_view::npos) break;
    out.push_back('/');
    start = slash + 1;
  }
  return out;
}

std::optional<std::string> URLComponents::url() const {
  if (!validHost(host) || !validPath(percentEncodedPath) || scheme.empty()) return std::nullopt;
  std::string text;
  text.append(scheme).append("://").append(host).append(percentEncodedPath);
  for (std::size_t i = 0; i < queryItems.size(); ++i) {
    text += i == 0 ? "?" : "&";
    text += percentEncodeQueryComponent(queryItems[i].name);
    if (queryItems[i].value) {
      text.push_back('=');
      text += percentEncodeQueryComponent(*queryItems[i].value);
    }
  }
  return text;
}

}  // namespace tarnix::cloudfs
