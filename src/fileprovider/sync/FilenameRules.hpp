#pragma once
// The cloud's rules for an item's name, checked before a name is sent (new items, renames):
// first failing rule wins, in this order.
//   - longer than 245 bytes in UTF-8: filenameTooLong
//   - nothing but white space (or empty): invalidFilename
//   - starts or ends with white space, or ends with a dot: invalidFilename
//   - U+0008 or one of * ? / \ : < > " |: prohibitedCharacterInFilename
//   - a control character (U+0000–U+001F, U+007F–U+009F), a scalar above U+FFFD, U+2028,
//     U+2029, U+21B9, U+21E4, U+21E5, U+2409, U+240B, or bytes that are not UTF-8:
//     prohibitedUnicodeInFilename

#include <optional>
#include <string_view>

#include "common/SyncError.hpp"

namespace tarnix::fileprovider {

inline constexpr std::size_t kMaximumFilenameBytes = 245;

/// The first rule `filename` breaks, or none.
std::optional<common::UploadRejectionReason> filenameRejection(std::string_view filename);

}  // namespace tarnix::fileprovider
