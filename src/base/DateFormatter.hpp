#pragma once
// Dates as text after a fixed pattern in the process's local time zone.
//
// Patterns use the letters of Unicode date format patterns: "yyyy-MM-dd HH:mm:ss:SSS",
// "yyyy-MM-dd'T'HHmmss". Supported fields: y, M, d, H, h, m, s, S (fraction, one digit per
// letter), a (AM/PM), Z/X (zone offset). Text in single quotes is copied ('' is a quote);
// other non-letters are copied as they are. The locale is always "en_US_POSIX".

#include <string>
#include <string_view>
#include <vector>

#include "base/Date.hpp"

namespace tarnix::base {

class DateFormatter {
 public:
  explicit DateFormatter(std::string pattern = "yyyy-MM-dd HH:mm:ss:SSS");

  const std::string& dateFormat() const { return pattern_; }
  void setDateFormat(std::string pattern);

  /// The date as text in local time. Safe to call from several threads at once.
  std::string string(Date date) const;
  void appendString(std::string& out, Date date) const;

 private:
  struct Token {
    char field = 0;  // 0 for literal text
    int width = 0;
    std::string text;
  };
  std::string pattern_;
  std::vector<Token> tokens_;
};

}  // namespace tarnix::base
