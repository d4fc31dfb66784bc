#include "platform/fileprovider/Domain.hpp"

#include <limits>

namespace tarnix::platform::fileprovider {

namespace {

// Tag, format number, then the counter in big-endian order.
constexpr std::string_view kArchiveTag = "TXDV";
constexpr unsigned char kArchiveFormat = 1;
constexpr std::size_t kArchiveSize = kArchiveTag.size() + 1 + 8;

}  // namespace

DomainVersion DomainVersion::next() const {
  // Saturates: a domain bumped 2^64 times is not a case worth wrapping around for.
  if (counter_ == std::numeric_limits<std::uint64_t>::max()) return *this;
  return DomainVersion(counter_ + 1);
}

std::string DomainVersion::description() const {
  return "DomainVersion(" + std::to_string(counter_) + ")";
}

Data DomainVersion::archived() const {
  Data bytes(kArchiveTag);
  bytes.push_back(static_cast<char>(kArchiveFormat));
  for (int shift = 56; shift >= 0; shift -= 8) {
    bytes.push_back(static_cast<char>((counter_ >> shift) & 0xff));
  }
  return bytes;
}

std::expected<DomainVersion, Error> DomainVersion::unarchive(const Data& bytes) {
  auto corrupt = [](std::string reason) {
    return std::unexpected(Error(CocoaErrorCode::coderReadCorrupt,
                                 {{std::string(Error::kDebugDescriptionKey), std::move(reason)}}));
  };
  if (bytes.size() != kArchiveSize) {
    return corrupt("Archived domain version has " + std::to_string(bytes.size()) +
                   " bytes, expected " + std::to_string(kArchiveSize));
  }
  if (std::string_view(bytes).substr(0, kArchiveTag.size()) != kArchiveTag) {
    return corrupt("Archived domain version has an unknown tag");
  }
  if (static_cast<unsigned char>(bytes[kArchiveTag.size()]) != kArchiveFormat) {
    return corrupt("Archived domain version has an unknown format");
  }
  std::uint64_t counter = 0;
  for (std::size_t i = kArchiveTag.size() + 1; i < kArchiveSize; ++i) {
    counter = (counter << 8) | static_cast<unsigned char>(bytes[i]);
  }
  if (counter == 0) return corrupt("Archived domain version is zero");
  return DomainVersion(counter);
}

base::LoggerMetadataValue loggerMetadataValue(const DomainIdentifier& identifier) {
  return base::LoggerMetadataValue(identifier.rawValue());
}

base::LoggerMetadataValue loggerMetadataValue(const DomainVersion& version) {
  return base::LoggerMetadataValue(version.description());
}

}  // namespace tarnix::platform::fileprovider
