#pragma once
// UUIDs as lower-case text ("0f8fad5b-d9cb-469f-a165-70867728950e").

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnix::base {

using UuidBytes = std::array<std::uint8_t, 16>;

/// A new random (version 4) UUID in lower-case text.
std::string makeUuid();
/// The 16 bytes of a UUID written as 8-4-4-4-12 hex digits (either case); none otherwise.
std::optional<UuidBytes> parseUuid(std::string_view text);
/// Lower-case 8-4-4-4-12 text of the bytes.
std::string uuidString(const UuidBytes& bytes);
/// `text` in canonical lower-case form, or none when it is not a UUID.
std::optional<std::string> normalizedUuid(std::string_view text);

}  // namespace tarnix::base
