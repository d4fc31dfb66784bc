#include "host/ByteRanges.hpp"

#include <algorithm>

namespace tarnix::host {
namespace {

std::int64_t endOf(const ByteRanges::Range& r) {
  return r.location + r.length;
}

}  // namespace

ByteRanges::ByteRanges(std::initializer_list<Range> present) {
  for (const auto& r : present) insert(r);
}

void ByteRanges::insert(Range range) {
  if (range.length <= 0) return;
  std::int64_t begin = range.location, end = endOf(range);
  // The first range that ends at or after `begin` may touch or overlap; so may the ones after it
  // that begin at or before `end`.
  auto first = std::lower_bound(present_.begin(), present_.end(), begin,
                                [](const Range& r, std::int64_t at) { return endOf(r) < at; });
  auto last = first;
  while (last != present_.end() && last->location <= end) {
    begin = std::min(begin, last->location);
    end = std::max(end, endOf(*last));
    ++last;
  }
  first = present_.erase(first, last);
  present_.insert(first, Range{begin, end - begin});
}

bool ByteRanges::covers(Range range) const {
  if (range.length <= 0) return true;
  auto it = std::upper_bound(present_.begin(), present_.end(), range.location,
                             [](std::int64_t at, const Range& r) { return at < r.location; });
  if (it == present_.begin()) return false;
  --it;
  return it->location <= range.location && endOf(range) <= endOf(*it);
}

ByteRanges::Range ByteRanges::firstMissing(Range within) const {
  const std::int64_t end = endOf(within);
  std::int64_t start = within.location;
  auto it = std::upper_bound(present_.begin(), present_.end(), start,
                             [](std::int64_t at, const Range& r) { return at < r.location; });
  // The range that begins at or before `start` may hold it; merged ranges never touch, so the
  // next missing byte is its end.
  if (it != present_.begin() && endOf(*std::prev(it)) > start) start = endOf(*std::prev(it));
  if (start >= end) return {std::max(end, within.location), 0};
  const std::int64_t next = it == present_.end() ? end : std::min(end, it->location);
  return {start, next - start};
}

std::int64_t ByteRanges::size() const {
  std::int64_t total = 0;
  for (const auto& r : present_) total += r.length;
  return total;
}

void ByteRanges::startFetching(Range range) {
  inFlight_.push_back(range);
}

void ByteRanges::finishFetching(Range fetching, Range delivered) {
  if (auto it = std::find(inFlight_.begin(), inFlight_.end(), fetching); it != inFlight_.end())
    inFlight_.erase(it);
  insert(delivered);
}

bool ByteRanges::isFetching(std::int64_t at) const {
  return std::any_of(inFlight_.begin(), inFlight_.end(),
                     [&](const Range& r) { return r.location <= at && at < endOf(r); });
}

std::int64_t ByteRanges::nextFetchAfter(std::int64_t at, std::int64_t limit) const {
  std::int64_t next = limit;
  for (const auto& r : inFlight_)
    if (r.location > at) next = std::min(next, r.location);
  return next;
}

}  // namespace tarnix::host
