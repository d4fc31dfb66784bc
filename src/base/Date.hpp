#pragma once
// Dates as text: ISO 8601 with milliseconds, HTTP dates (RFC 7231) and milliseconds since 1970.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnix::base {

using Date = std::chrono::system_clock::time_point;

/// "2024-03-01T12:34:56.789Z" (UTC, always three fractional digits).
std::string formatISO8601(Date date);
/// "2024-03-01T13:34:56.789+01:00" in the process's local time zone ("Z" when it is UTC).
std::string formatISO8601Local(Date date);
/// Accepts "YYYY-MM-DDTHH:MM:SS", optional fraction (any digits), and "Z" or "±hh:mm"/"±hhmm";
/// no zone means UTC.
std::optional<Date> parseISO8601(std::string_view text);

/// "Sun, 06 Nov 1994 08:49:37 GMT" (IMF-fixdate).
std::string formatHTTPDate(Date date);
/// Any of the three forms of RFC 7231: IMF-fixdate, RFC 850 ("Sunday, 06-Nov-94 08:49:37 GMT")
/// and asctime ("Sun Nov  6 08:49:37 1994").
std::optional<Date> parseHTTPDate(std::string_view text);

std::int64_t millisecondsSince1970(Date date);
Date dateFromMillisecondsSince1970(std::int64_t milliseconds);

/// Local time formatted with a strftime pattern (plus "%f" for three millisecond digits).
std::string formatLocal(Date date, std::string_view pattern);

}  // namespace tarnix::base
