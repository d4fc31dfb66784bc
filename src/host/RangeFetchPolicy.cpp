#include "host/RangeFetchPolicy.hpp"

#include <algorithm>

namespace tarnix::host {

ByteRanges::Range rangeToFetch(const ByteRanges& present, std::int64_t size, std::int64_t begin,
                               std::int64_t end, SequentialRun& run,
                               const RangeFetchLimits& limits) {
  end = std::min(end, size);
  begin = std::max<std::int64_t>(begin, 0);
  // The missing bytes from the read on, up to what is present after them.
  const auto missing = present.firstMissing({begin, std::max<std::int64_t>(size - begin, 0)});
  const std::int64_t start = missing.location;
  if (start >= end) return {start, 0};
  const std::int64_t nextPresent = start + missing.length;
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
  // Never over bytes already present, unless the read itself reaches past them.
  const std::int64_t length =
      std::min(std::max(end - start, window), std::max(nextPresent, end) - start);
  run = {start + length, std::max(window, length)};
  return {start, length};
}

}  // namespace tarnix::host
