#include "base/Uuid.hpp"

#include <uuid/uuid.h>

namespace tarnix::base {

std::string makeUuid() {
  uuid_t raw;
  uuid_generate_random(raw);
  UuidBytes bytes;
  for (int i = 0; i < 16; ++i) bytes[i] = raw[i];
  return uuidString(bytes);
}

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::optional<UuidBytes> parseUuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  UuidBytes bytes{};
  int byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = hexValue(text[i]);
    int lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[byte++] = static_cast<std::uint8_t>(hi * 16 + lo);
    i += 2;
  }
  return bytes;
}

std::string uuidString(const UuidBytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
  }
  return out;
}

std::optional<std::string> normalizedUuid(std::string_view text) {
  auto bytes = parseUuid(text);
  if (!bytes) return std::nullopt;
  return uuidString(*bytes);
}

}  // namespace tarnix::base
