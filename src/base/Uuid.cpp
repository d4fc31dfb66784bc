#include "base/Uuid.hpp"

#include <pthread.h>
#include <sys/random.h>
#include <uuid/uuid.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace tarnix::base {

namespace {
// Random bytes come from the kernel a block at a time, per thread: a listing creates an
// identifier for each of possibly 100,000 new items, and a few system calls per identifier (as
// the uuid library makes) would be most of its cost. A forked child must not hand out the bytes
// its parent will also use, so a fork discards every block.
std::atomic<std::uint64_t> forkGeneration{0};

struct RandomBlock {
  std::array<std::uint8_t, 4096> bytes;
  std::size_t used = bytes.size();
  std::uint64_t generation = 0;
};

bool refill(RandomBlock& block) {
  std::size_t filled = 0;
  while (filled < block.bytes.size()) {
    const auto got = getrandom(block.bytes.data() + filled, block.bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  block.used = 0;
  return true;
}

UuidBytes randomBytes() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1); });
    return true;
  }();
  (void)registered;
  thread_local RandomBlock block;
  UuidBytes bytes;
  const auto generation = forkGeneration.load(std::memory_order_relaxed);
  if (block.generation != generation) {
    block.used = block.bytes.size();
    block.generation = generation;
  }
  if (block.used + bytes.size() > block.bytes.size() && !refill(block)) {
    // No getrandom (an old kernel or a sandbox refusing it): the uuid library's own sources.
    uuid_t raw;
    uuid_generate_random(raw);
    std::memcpy(bytes.data(), raw, bytes.size());
    return bytes;
  }
  std::memcpy(bytes.data(), block.bytes.data() + block.used, bytes.size());
  block.used += bytes.size();
  return bytes;
}
}  // namespace

std::string makeUuid() {
  auto bytes = randomBytes();
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
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
