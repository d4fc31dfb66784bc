#include "base/DateFormatter.hpp"

#include <fmt/format.h>

#include <cctype>
#include <charconv>
#include <ctime>
#include <iterator>

namespace tarnix::base {
namespace {

struct LocalTime {
  std::tm tm{};
  int milliseconds = 0;
};

// localtime_r takes a process-wide lock; a log line asks for the same second many times.
LocalTime localTime(Date date) {
  thread_local std::time_t cachedSecond = -1;
  thread_local std::tm cachedTm{};
  auto ms = millisecondsSince1970(date);
  auto seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  LocalTime result;
  result.milliseconds = static_cast<int>(ms - seconds * 1000);
  auto t = static_cast<std::time_t>(seconds);
  if (t != cachedSecond) {
    localtime_r(&t, &cachedTm);
    cachedSecond = t;
  }
  result.tm = cachedTm;
  return result;
}

// Decimal digits, zero-padded to `width`. Timestamps are formatted on every log call.
void appendNumber(std::string& out, long value, int width) {
  char digits[24];
  auto [end, ec] = std::to_chars(std::begin(digits), std::end(digits), value < 0 ? -value : value);
  auto count = static_cast<int>(end - digits);
  if (value < 0) out += '-';
  if (count < width) out.append(static_cast<std::size_t>(width - count), '0');
  out.append(digits, end);
}

}  // namespace

DateFormatter::DateFormatter(std::string pattern) {
  setDateFormat(std::move(pattern));
}

void DateFormatter::setDateFormat(std::string pattern) {
  pattern_ = std::move(pattern);
  tokens_.clear();
  auto literal = [this](char c) {
    if (tokens_.empty() || tokens_.back().field != 0) tokens_.push_back({});
    tokens_.back().text += c;
  };
  const std::string& p = pattern_;
  for (std::size_t i = 0; i < p.size();) {
    char c = p[i];
    if (c == '\'') {
      if (i + 1 < p.size() && p[i + 1] == '\'') {
        literal('\'');
        i += 2;
        continue;
      }
      ++i;
      while (i < p.size()) {
        if (p[i] == '\'') {
          if (i + 1 < p.size() && p[i + 1] == '\'') {
            literal('\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        literal(p[i++]);
      }
      continue;
    }
    if (std::isalpha(static_cast<unsigned char>(c))) {
      std::size_t j = i;
      while (j < p.size() && p[j] == c) ++j;
      tokens_.push_back({c, static_cast<int>(j - i), {}});
      i = j;
      continue;
    }
    literal(c);
    ++i;
  }
}

void DateFormatter::appendString(std::string& out, Date date) const {
  auto [tm, ms] = localTime(date);
  for (const auto& token : tokens_) {
    switch (token.field) {
      case 0:
        out += token.text;
        break;
      case 'y':
        if (token.width == 2) {
          appendNumber(out, (tm.tm_year + 1900) % 100, 2);
        } else {
          appendNumber(out, tm.tm_year + 1900, token.width);
        }
        break;
      case 'M':
        appendNumber(out, tm.tm_mon + 1, token.width);
        break;
      case 'd':
        appendNumber(out, tm.tm_mday, token.width);
        break;
      case 'H':
        appendNumber(out, tm.tm_hour, token.width);
        break;
      case 'h':
        appendNumber(out, tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, token.width);
        break;
      case 'm':
        appendNumber(out, tm.tm_min, token.width);
        break;
      case 's':
        appendNumber(out, tm.tm_sec, token.width);
        break;
      case 'S': {
        // Fraction of the second, truncated or padded to the number of letters.
        char digits[3] = {static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                          static_cast<char>('0' + ms % 10)};
        for (int i = 0; i < token.width; ++i) out += i < 3 ? digits[i] : '0';
        break;
      }
      case 'a':
        out += tm.tm_hour < 12 ? "AM" : "PM";
        break;
      case 'Z':
      case 'X': {
        long offset = tm.tm_gmtoff;
        if (offset == 0 && token.field == 'X') {
          out += 'Z';
          break;
        }
        char sign = offset < 0 ? '-' : '+';
        offset = offset < 0 ? -offset : offset;
        bool colon = token.width >= 3 && !(token.field == 'Z' && token.width < 5);
        fmt::format_to(std::back_inserter(out), "{}{:02}{}{:02}", sign, offset / 3600,
                       colon ? ":" : "", (offset % 3600) / 60);
        break;
      }
      default:
        // Unknown fields are copied as written.
        out.append(static_cast<std::size_t>(token.width), token.field);
    }
  }
}

std::string DateFormatter::string(Date date) const {
  std::string out;
  appendString(out, date);
  return out;
}

}  // namespace tarnix::base
