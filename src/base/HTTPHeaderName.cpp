#include "base/HTTPHeaderName.hpp"

#include <algorithm>

namespace tarnix::base {
namespace {
char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

bool HTTPHeaderName::operator<(const HTTPHeaderName& other) const {
  return std::lexicographical_compare(rawValue.begin(), rawValue.end(), other.rawValue.begin(),
                                      other.rawValue.end(),
                                      [](char x, char y) { return lower(x) < lower(y); });
}

}  // namespace tarnix::base
