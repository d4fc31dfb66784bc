#include "base/SemanticVersion.hpp"

#include <charconv>

namespace tarnix::base {
namespace {

std::vector<std::string> splitDots(std::string_view s) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    auto dot = s.find('.', start);
    parts.emplace_back(s.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts;
}

bool isNumeric(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

bool validIdentifier(std::string_view s) {
  return !s.empty() &&
         s.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-") ==
             std::string_view::npos;
}

std::optional<int> number(std::string_view s) {
  if (!isNumeric(s) || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  int v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

std::optional<SemanticVersion> SemanticVersion::parse(std::string_view text) {
  SemanticVersion v;
  if (auto plus = text.find('+'); plus != std::string_view::npos) {
    v.build = splitDots(text.substr(plus + 1));
    for (auto& b : v.build)
      if (!validIdentifier(b)) return std::nullopt;
    text = text.substr(0, plus);
  }
  if (auto dash = text.find('-'); dash != std::string_view::npos) {
    v.prerelease = splitDots(text.substr(dash + 1));
    for (auto& p : v.prerelease)
      if (!validIdentifier(p)) return std::nullopt;
    text = text.substr(0, dash);
  }
  auto core = splitDots(text);
  if (core.empty() || core.size() > 3) return std::nullopt;
  int* fields[] = {&v.major, &v.minor, &v.patch};
  for (std::size_t i = 0; i < core.size(); ++i) {
    auto n = number(core[i]);
    if (!n) return std::nullopt;
    *fields[i] = *n;
  }
  return v;
}

std::string SemanticVersion::description() const {
  std::string out = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
  for (std::size_t i = 0; i < prerelease.size(); ++i) out += (i == 0 ? "-" : ".") + prerelease[i];
  for (std::size_t i = 0; i < build.size(); ++i) out += (i == 0 ? "+" : ".") + build[i];
  return out;
}

std::strong_ordering SemanticVersion::operator<=>(const SemanticVersion& o) const {
  if (auto c = major <=> o.major; c != 0) return c;
  if (auto c = minor <=> o.minor; c != 0) return c;
  if (auto c = patch <=> o.patch; c != 0) return c;
  // A version without pre-release identifiers ranks above one with them.
  if (prerelease.empty() && o.prerelease.empty()) return std::strong_ordering::equal;
  if (prerelease.empty()) return std::strong_ordering::greater;
  if (o.prerelease.empty()) return std::strong_ordering::less;
  for (std::size_t i = 0; i < std::min(prerelease.size(), o.prerelease.size()); ++i) {
    const auto& a = prerelease[i];
    const auto& b = o.prerelease[i];
    bool an = isNumeric(a), bn = isNumeric(b);
    if (an && bn) {
      if (auto c = a.size() <=> b.size(); c != 0) return c;
      if (auto c = a <=> b; c != 0) return c;
    } else if (an != bn) {
      return an ? std::strong_ordering::less : std::strong_ordering::greater;
    } else if (auto c = a <=> b; c != 0) {
      return c;
    }
  }
  return prerelease.size() <=> o.prerelease.size();
}

}  // namespace tarnix::base
