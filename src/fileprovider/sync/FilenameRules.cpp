#include "fileprovider/sync/FilenameRules.hpp"

#include "base/UTF8.hpp"

namespace tarnix::fileprovider {

using common::UploadRejectionReason;

namespace {

bool isWhiteSpace(char32_t c) {
  return c == U' ' || (c >= U'\t' && c <= U'\r') || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool isProhibitedCharacter(char32_t c) {
  switch (c) {
    case 0x08:
    case U'*':
    case U'?':
    case U'/':
    case U'\\':
    case U':':
    case U'<':
    case U'>':
    case U'"':
    case U'|':
      return true;
    default:
      return false;
  }
}

bool isProhibitedScalar(char32_t c) {
  return c <= 0x1F || (c >= 0x7F && c <= 0x9F) || c > 0xFFFD || c == 0x2028 || c == 0x2029 ||
         c == 0x21B9 || c == 0x21E4 || c == 0x21E5 || c == 0x2409 || c == 0x240B;
}

}  // namespace

std::optional<UploadRejectionReason> filenameRejection(std::string_view filename) {
  if (filename.size() > kMaximumFilenameBytes) return UploadRejectionReason::filenameTooLong;
  auto decoded = base::decodeUTF8(filename);
  if (!decoded) return UploadRejectionReason::prohibitedUnicodeInFilename;
  const auto& name = *decoded;
  bool onlyWhiteSpace = true;
  for (char32_t c : name) onlyWhiteSpace = onlyWhiteSpace && isWhiteSpace(c);
  if (onlyWhiteSpace) return UploadRejectionReason::invalidFilename;
  // "(?:^\s.+$)|(?:^.+\s$)|(?:^.+\.$)": at least two characters, the first or last white
  // space, or the last a dot.
  if (name.size() >= 2 &&
      (isWhiteSpace(name.front()) || isWhiteSpace(name.back()) || name.back() == U'.'))
    return UploadRejectionReason::invalidFilename;
  for (char32_t c : name)
    if (isProhibitedCharacter(c)) return UploadRejectionReason::prohibitedCharacterInFilename;
  for (char32_t c : name)
    if (isProhibitedScalar(c)) return UploadRejectionReason::prohibitedUnicodeInFilename;
  return std::nullopt;
}

}  // namespace tarnix::fileprovider
