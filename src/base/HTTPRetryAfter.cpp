#include "base/HTTPRetryAfter.hpp"

#include <fmt/format.h>
#include <algorithm>
#include <chrono>

namespace tarnix::base {

std::optional<HTTPRetryAfter> HTTPRetryAfter::parse(std::string_view httpHeaderValue) {
  if (!httpHeaderValue.empty() && std::all_of(httpHeaderValue.begin(), httpHeaderValue.end(),
                                              [](char c) { return c >= '0' && c <= '9'; })) {
    double seconds = 0;
    for (char c : httpHeaderValue) seconds = seconds * 10 + (c - '0');
    return interval(seconds);
  }
  if (auto parsed = parseHTTPDate(httpHeaderValue)) return date(*parsed);
  return std::nullopt;
}

double HTTPRetryAfter::timeInterval(Date since) const {
  if (auto* interval = std::get_if<Interval>(&value_)) return interval->seconds;
  auto difference = std::chrono::duration<double>(std::get<Date>(value_) - since).count();
  return std::max(0.0, difference);
}

std::string HTTPRetryAfter::description() const {
  if (auto* interval = std::get_if<Interval>(&value_)) return fmt::format("{}", interval->seconds);
  return formatHTTPDate(std::get<Date>(value_));
}

}  // namespace tarnix::base
