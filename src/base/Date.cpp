#include "base/Date.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <ctime>

namespace tarnix::base {
namespace {

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

std::tm utcTm(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

std::pair<std::time_t, int> split(Date date) {
  auto ms = millisecondsSince1970(date);
  auto seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  return {static_cast<std::time_t>(seconds), static_cast<int>(ms - seconds * 1000)};
}

// A small cursor over the text being parsed.
struct Scanner {
  std::string_view s;
  std::size_t i = 0;
  bool done() const { return i >= s.size(); }
  bool literal(std::string_view l) {
    if (s.substr(i, l.size()) != l) return false;
    i += l.size();
    return true;
  }
  bool number(int digits, int& out) {
    if (i + static_cast<std::size_t>(digits) > s.size()) return false;
    int v = 0;
    for (int k = 0; k < digits; ++k) {
      char c = s[i + static_cast<std::size_t>(k)];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    i += static_cast<std::size_t>(digits);
    out = v;
    return true;
  }
  bool month(int& out) {
    for (int m = 0; m < 12; ++m) {
      if (s.substr(i, 3) == kMonths[static_cast<std::size_t>(m)]) {
        i += 3;
        out = m;
        return true;
      }
    }
    return false;
  }
};

std::optional<Date> makeDate(int year, int month0, int day, int hour, int minute, int second,
                             int millis = 0, int offsetSeconds = 0) {
  if (month0 < 0 || month0 > 11 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month0;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  std::time_t t = timegm(&tm);
  return dateFromMillisecondsSince1970((static_cast<std::int64_t>(t) - offsetSeconds) * 1000 +
                                       millis);
}

}  // namespace

std::int64_t millisecondsSince1970(Date date) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

Date dateFromMillisecondsSince1970(std::int64_t milliseconds) {
  // The clock counts finer than milliseconds, so it spans fewer of them than an int64 holds:
  // counts from outside (a server's body) beyond its range stop at its ends.
  constexpr auto kLimit =
      std::chrono::duration_cast<std::chrono::milliseconds>(Date::duration::max()).count();
  milliseconds = std::clamp(milliseconds, -kLimit, kLimit);
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::milliseconds(milliseconds)));
}

std::string formatISO8601(Date date) {
  auto [t, ms] = split(date);
  auto tm = utcTm(t);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
}

std::string formatISO8601Local(Date date) {
  auto [t, ms] = split(date);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::string zone;
  long offset = tm.tm_gmtoff;
  if (offset == 0) {
    zone = "Z";
  } else {
    char sign = offset < 0 ? '-' : '+';
    offset = offset < 0 ? -offset : offset;
    zone = fmt::format("{}{:02}:{:02}", sign, offset / 3600, (offset % 3600) / 60);
  }
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}{}", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms, zone);
}

std::optional<Date> parseISO8601(std::string_view text) {
  Scanner sc{text};
  int year, month, day, hour, minute, second;
  if (!sc.number(4, year) || !sc.literal("-") || !sc.number(2, month) || !sc.literal("-") ||
      !sc.number(2, day) || !(sc.literal("T") || sc.literal(" ")) || !sc.number(2, hour) ||
      !sc.literal(":") || !sc.number(2, minute) || !sc.literal(":") || !sc.number(2, second))
    return std::nullopt;
  int millis = 0;
  if (sc.literal(".")) {
    int digits = 0;
    while (!sc.done() && sc.s[sc.i] >= '0' && sc.s[sc.i] <= '9') {
      if (digits < 3) millis = millis * 10 + (sc.s[sc.i] - '0');
      ++digits;
      ++sc.i;
    }
    if (digits == 0) return std::nullopt;
    for (int d = digits; d < 3; ++d) millis *= 10;
  }
  int offset = 0;
  if (sc.literal("Z")) {
  } else if (!sc.done() && (sc.s[sc.i] == '+' || sc.s[sc.i] == '-')) {
    int sign = sc.s[sc.i] == '-' ? -1 : 1;
    ++sc.i;
    int oh, om;
    if (!sc.number(2, oh)) return std::nullopt;
    sc.literal(":");
    if (!sc.number(2, om)) return std::nullopt;
    offset = sign * (oh * 3600 + om * 60);
  }
  if (!sc.done()) return std::nullopt;
  return makeDate(year, month - 1, day, hour, minute, second, millis, offset);
}

std::string formatHTTPDate(Date date) {
  auto [t, ms] = split(date);
  (void)ms;
  auto tm = utcTm(t);
  return fmt::format("{}, {:02} {} {:04} {:02}:{:02}:{:02} GMT",
                     kDays[static_cast<std::size_t>(tm.tm_wday)], tm.tm_mday,
                     kMonths[static_cast<std::size_t>(tm.tm_mon)], tm.tm_year + 1900, tm.tm_hour,
                     tm.tm_min, tm.tm_sec);
}

std::optional<Date> parseHTTPDate(std::string_view text) {
  int day, month, year, hour, minute, second;
  auto time = [&](Scanner& sc) {
    return sc.number(2, hour) && sc.literal(":") && sc.number(2, minute) && sc.literal(":") &&
           sc.number(2, second);
  };
  // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
  if (text.size() == 29 && text[3] == ',') {
    Scanner sc{text, 5};
    if (sc.number(2, day) && sc.literal(" ") && sc.month(month) && sc.literal(" ") &&
        sc.number(4, year) && sc.literal(" ") && time(sc) && sc.literal(" GMT") && sc.done())
      return makeDate(year, month, day, hour, minute, second);
    return std::nullopt;
  }
  // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
  if (auto comma = text.find(", "); comma != std::string_view::npos && comma > 3) {
    Scanner sc{text, comma + 2};
    int yy;
    if (sc.number(2, day) && sc.literal("-") && sc.month(month) && sc.literal("-") &&
        sc.number(2, yy) && sc.literal(" ") && time(sc) && sc.literal(" GMT") && sc.done()) {
      // Two-digit years more than 50 years ahead belong to the previous century.
      std::time_t now = std::time(nullptr);
      int currentYear = utcTm(now).tm_year + 1900;
      year = (currentYear / 100) * 100 + yy;
      if (year > currentYear + 50) year -= 100;
      return makeDate(year, month, day, hour, minute, second);
    }
    return std::nullopt;
  }
  // asctime: "Sun Nov  6 08:49:37 1994"
  if (text.size() == 24 && text[3] == ' ') {
    Scanner sc{text, 4};
    if (!sc.month(month) || !sc.literal(" ")) return std::nullopt;
    if (sc.literal(" ")) {
      if (!sc.number(1, day)) return std::nullopt;
    } else if (!sc.number(2, day)) {
      return std::nullopt;
    }
    if (sc.literal(" ") && time(sc) && sc.literal(" ") && sc.number(4, year) && sc.done())
      return makeDate(year, month, day, hour, minute, second);
  }
  return std::nullopt;
}

std::string formatLocal(Date date, std::string_view pattern) {
  auto [t, ms] = split(date);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::string out;
  std::string piece;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 'f') {
      out += fmt::format("{:03}", ms);
      ++i;
      continue;
    }
    if (pattern[i] == '%' && i + 1 < pattern.size()) {
      char fmtText[3] = {'%', pattern[i + 1], 0};
      char buffer[64];
      auto n = std::strftime(buffer, sizeof buffer, fmtText, &tm);
      out.append(buffer, n);
      ++i;
      continue;
    }
    out += pattern[i];
  }
  return out;
}

}  // namespace tarnix::base
