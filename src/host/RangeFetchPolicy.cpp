#include "host/RangeFetchPolicy.hpp"

#include <algorithm>

namespace tarnix::host {

platform::fileprovider::ByteRange rangeToFetch(
    const std::vector<std::pair<std::int64_t, std::int64_t>>& present, std::int64_t size,
    std::int64_t begin, std::int64_t end, SequentialRun& run, const RangeFetchLimits& limits) {
  end = std::min(end, size);
  std::int64_t start = std::max<std::int64_t>(begin, 0);
  for (const auto& [first, last] : present)
    if (first <= start && start < last) start = last;
  if (start >= end) return {start, 0};
  std::int64_t nextPresent = size;
  for (const auto& [first, last] : present)
    if (first > start) nextPresent = std::min(nextPresent, first);
  const std::int64_t smallest = std::max<std::int64_t>(limits.alignment, 1);
  const std::int64_t largest = std::max(limits.maximumWindow, smallest);
  // The kernel reads ahead on several threads, so the reads of one sequential pass arrive out
  // of order, some ahead of the run and some behind it: up to the largest window either way
  // they belong to the run.
  const bool nearRun = run.window > 0 && start >= run.end - largest && start <= run.end + largest;
  if (nearRun && start < run.end)  // a hole the run left behind: filled, the run stays
    return {start, std::max(end - start, std::min(run.window, nextPresent - start))};
  const std::int64_t window =
      nearRun ? std::min(std::max(run.window * 2, smallest), largest) : smallest;
  const std::int64_t length = std::min(std::max(end - start, window), size - start);
  run = {start + length, std::max(window, length)};
  return {start, length};
}

}  // namespace tarnix::host
