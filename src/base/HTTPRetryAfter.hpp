#pragma once
// The value of a "Retry-After" header: a date, or a number of seconds.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/Date.hpp"

namespace tarnix::base {

class HTTPRetryAfter {
 public:
  struct Interval {
    double seconds = 0;
    bool operator==(const Interval&) const = default;
  };

  static HTTPRetryAfter date(Date date) { return HTTPRetryAfter(date); }
  static HTTPRetryAfter interval(double seconds) { return HTTPRetryAfter(Interval{seconds}); }

  /// Decimal digits only: an interval of that many seconds. Otherwise one of the three HTTP
  /// date forms (IMF-fixdate, RFC 850, asctime). Anything else: none.
  static std::optional<HTTPRetryAfter> parse(std::string_view httpHeaderValue);

  /// The interval itself, or the time from `now` to the date, never below 0.
  double timeInterval(Date since) const;

  /// The date as an HTTP date, or the number of seconds.
  std::string description() const;

  const std::variant<Date, Interval>& value() const { return value_; }
  bool operator==(const HTTPRetryAfter&) const = default;

 private:
  explicit HTTPRetryAfter(std::variant<Date, Interval> value) : value_(value) {}
  std::variant<Date, Interval> value_;
};

}  // namespace tarnix::base
