#include "base/UTF8.hpp"

#include <cstdint>

namespace tarnix::base {

namespace {

// The scalar at `i`, which moves past it; none for a malformed sequence. Overlong forms,
// surrogates and values past U+10FFFF are not UTF-8.
std::optional<char32_t> nextScalar(std::string_view s, std::size_t& i) {
  auto c = static_cast<unsigned char>(s[i]);
  std::size_t length;
  std::uint32_t codePoint;
  if (c < 0x80) {
    ++i;
    return c;
  } else if ((c & 0xE0) == 0xC0) {
    length = 2;
    codePoint = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3;
    codePoint = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4;
    codePoint = c & 0x07;
  } else {
    return std::nullopt;
  }
  if (i + length > s.size()) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    auto continuation = static_cast<unsigned char>(s[i + k]);
    if ((continuation & 0xC0) != 0x80) return std::nullopt;
    codePoint = (codePoint << 6) | (continuation & 0x3F);
  }
  if ((length == 2 && codePoint < 0x80) || (length == 3 && codePoint < 0x800) ||
      (length == 4 && codePoint < 0x10000) || codePoint > 0x10FFFF ||
      (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    return std::nullopt;
  }
  i += length;
  return static_cast<char32_t>(codePoint);
}

}  // namespace

bool isValidUTF8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (!nextScalar(s, i)) return false;
  }
  return true;
}

std::optional<std::u32string> decodeUTF8(std::string_view s) {
  std::u32string scalars;
  for (std::size_t i = 0; i < s.size();) {
    auto scalar = nextScalar(s, i);
    if (!scalar) return std::nullopt;
    scalars.push_back(*scalar);
  }
  return scalars;
}

}  // namespace tarnix::base
