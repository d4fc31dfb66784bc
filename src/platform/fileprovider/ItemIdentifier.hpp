#pragma once
// Item identifiers as the framework passes them: opaque text chosen by the extension, plus the
// three container identifiers the framework itself defines.

#include <compare>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "base/LoggerMetadata.hpp"

namespace tarnix::platform::fileprovider {

/// Arbitrary bytes handed to or received from the framework (versions, anchors, pages,
/// thumbnails, archived values). Not text, even though it is held in a std::string.
using Data = std::string;

class ItemIdentifier {
 public:
  ItemIdentifier() = default;
  explicit ItemIdentifier(std::string rawValue) : rawValue_(std::move(rawValue)) {}

  /// The root folder of a domain.
  static const ItemIdentifier& rootContainer();
  /// Every item the system tracks; enumerated for changes only.
  static const ItemIdentifier& workingSet();
  /// The domain's trash.
  static const ItemIdentifier& trashContainer();

  static constexpr std::string_view kRootContainerRawValue =
      "NSFileProviderRootContainerItemIdentifier";
  static constexpr std::string_view kWorkingSetRawValue =
      "NSFileProviderWorkingSetContainerItemIdentifier";
  static constexpr std::string_view kTrashContainerRawValue =
      "NSFileProviderTrashContainerItemIdentifier";

  const std::string& rawValue() const { return rawValue_; }
  bool isRootContainer() const { return rawValue_ == kRootContainerRawValue; }
  bool isWorkingSet() const { return rawValue_ == kWorkingSetRawValue; }
  bool isTrashContainer() const { return rawValue_ == kTrashContainerRawValue; }

  auto operator<=>(const ItemIdentifier&) const = default;
  bool operator==(const ItemIdentifier&) const = default;

 private:
  std::string rawValue_;
};

/// The raw value as text.
base::LoggerMetadataValue loggerMetadataValue(const ItemIdentifier& identifier);

}  // namespace tarnix::platform::fileprovider

template <>
struct std::hash<tarnix::platform::fileprovider::ItemIdentifier> {
  std::size_t operator()(const tarnix::platform::fileprovider::ItemIdentifier& id) const noexcept {
    return std::hash<std::string>{}(id.rawValue());
  }
};
