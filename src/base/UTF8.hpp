#pragma once
// UTF-8 validation of text from outside (headers, form fields, file names).

#include <optional>
#include <string>
#include <string_view>

namespace tarnix::base {

/// True when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing past
/// U+10FFFF, no truncated sequences.
bool isValidUTF8(std::string_view text);
/// The Unicode scalars of `text`; none when it is not well-formed UTF-8.
std::optional<std::u32string> decodeUTF8(std::string_view text);

}  // namespace tarnix::base
