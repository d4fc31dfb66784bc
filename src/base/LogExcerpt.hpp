#pragma once
// Bodies and other texts of unbounded length as they go into a log line: the first few KiB,
// then a marker saying how much was left out, so that one answer cannot flood the log.

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnix::base {

/// The most bytes of a body that a log line carries.
inline constexpr std::size_t kLoggedBodyLimit = 4096;

/// `text` whole when it has at most `limit` bytes; else its first `limit` bytes (less the end
/// of a UTF-8 sequence cut in two) followed by " [… N bytes cut]".
std::string logExcerpt(std::string_view text, std::size_t limit = kLoggedBodyLimit);

}  // namespace tarnix::base
