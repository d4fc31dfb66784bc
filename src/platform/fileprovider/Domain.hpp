#pragma once
// A domain is one location the system presents (one connected drive); its version tells the
// system when every item's presentation must be read again.

#include <compare>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "base/LoggerMetadata.hpp"
#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"

namespace tarnix::platform::fileprovider {

class DomainIdentifier {
 public:
  DomainIdentifier() = default;
  explicit DomainIdentifier(std::string rawValue) : rawValue_(std::move(rawValue)) {}

  /// The identifier the system uses for a domain the extension did not create.
  static constexpr std::string_view kDefaultRawValue = "NSFileProviderDomainDefaultIdentifier";

  const std::string& rawValue() const { return rawValue_; }
  auto operator<=>(const DomainIdentifier&) const = default;
  bool operator==(const DomainIdentifier&) const = default;

 private:
  std::string rawValue_;
};

struct Domain {
  DomainIdentifier identifier;
  /// The name the file browser shows for the location.
  std::string displayName;
  bool operator==(const Domain&) const = default;
};

/// An opaque, ordered version of a domain. A fresh version is the first; next() is always
/// greater. The archived bytes are what storage keeps; unarchive() accepts only bytes written by
/// archived().
class DomainVersion {
 public:
  DomainVersion() = default;

  DomainVersion next() const;
  /// A short text for logs and storage, for example "DomainVersion(3)".
  std::string description() const;

  Data archived() const;
  /// Fails with Cocoa coderReadCorrupt for bytes of another length, tag or format.
  static std::expected<DomainVersion, Error> unarchive(const Data& bytes);

  auto operator<=>(const DomainVersion&) const = default;
  bool operator==(const DomainVersion&) const = default;

 private:
  explicit DomainVersion(std::uint64_t counter) : counter_(counter) {}
  std::uint64_t counter_ = 1;
};

base::LoggerMetadataValue loggerMetadataValue(const DomainIdentifier& identifier);
base::LoggerMetadataValue loggerMetadataValue(const DomainVersion& version);

}  // namespace tarnix::platform::fileprovider
