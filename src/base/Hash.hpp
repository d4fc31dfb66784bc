#pragma once
// SHA-256 and SHA-512 digests (OpenSSL EVP), as raw bytes or lower-case hex.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix::base {

enum class HashAlgorithm { sha256, sha512 };

/// An incremental digest. Not copyable; `finish` may be called once.
class Hasher {
 public:
  explicit Hasher(HashAlgorithm algorithm);
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;
  Hasher(Hasher&&) noexcept;
  Hasher& operator=(Hasher&&) noexcept;

  void update(std::span<const std::byte> data);
  void update(std::string_view data);
  std::vector<std::uint8_t> finish();
  std::string finishHex();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

std::vector<std::uint8_t> sha256(std::string_view data);
std::vector<std::uint8_t> sha512(std::string_view data);
std::string sha256Hex(std::string_view data);
std::string sha512Hex(std::string_view data);
/// Digest of a whole file, read in blocks (never whole into memory). Errors name the file.
std::expected<std::string, std::string> fileDigestHex(const std::filesystem::path& path,
                                                       HashAlgorithm algorithm);

std::string toHex(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::string_view bytes);
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace tarnix::base
