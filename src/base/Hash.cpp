#include "base/Hash.hpp"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

namespace tarnix::base {

struct Hasher::Impl {
  EVP_MD_CTX* ctx = nullptr;
  ~Impl() { EVP_MD_CTX_free(ctx); }
};

Hasher::Hasher(HashAlgorithm algorithm) : impl_(std::make_unique<Impl>()) {
  impl_->ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(impl_->ctx, algorithm == HashAlgorithm::sha256 ? EVP_sha256() : EVP_sha512(),
                    nullptr);
}
Hasher::~Hasher() = default;
Hasher::Hasher(Hasher&&) noexcept = default;
Hasher& Hasher::operator=(Hasher&&) noexcept = default;

void Hasher::update(std::span<const std::byte> data) {
  EVP_DigestUpdate(impl_->ctx, data.data(), data.size());
}
void Hasher::update(std::string_view data) { EVP_DigestUpdate(impl_->ctx, data.data(), data.size()); }

std::vector<std::uint8_t> Hasher::finish() {
  std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  EVP_DigestFinal_ex(impl_->ctx, out.data(), &size);
  out.resize(size);
  return out;
}

std::string Hasher::finishHex() { return toHex(finish()); }

std::vector<std::uint8_t> sha256(std::string_view data) {
  Hasher h(HashAlgorithm::sha256);
  h.update(data);
  return h.finish();
}
std::vector<std::uint8_t> sha512(std::string_view data) {
  Hasher h(HashAlgorithm::sha512);
  h.update(data);
  return h.finish();
}
std::string sha256Hex(std::string_view data) { return toHex(sha256(data)); }
std::string sha512Hex(std::string_view data) { return toHex(sha512(data)); }

std::expected<std::string, std::string> fileDigestHex(const std::filesystem::path& path,
                                                       HashAlgorithm algorithm) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected("Cannot open " + path.string() + ": " + std::strerror(errno));
  Hasher h(algorithm);
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    auto n = in.gcount();
    if (n > 0) h.update(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  }
  if (in.bad()) return std::unexpected("Cannot read " + path.string());
  return h.finishHex();
}

std::string toHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (auto b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string base64Encode(std::string_view bytes) {
  return base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out(3 * text.size() / 4);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  out.resize(static_cast<std::size_t>(n) - padding);
  return out;
}

}  // namespace tarnix::base
