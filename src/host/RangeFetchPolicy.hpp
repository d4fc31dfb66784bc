#pragma once
// Which bytes to fetch when a read of a file fetched range by range meets bytes that are not
// present. A read that goes on where the previous fetch ended is sequential: each further one
// doubles the fetch (up to a maximum), so that reading a large file from start to end costs a
// few large requests rather than one per read; a read elsewhere starts again from the smallest
// fetch, so seeking around a large file fetches little more than it reads. A fetch stops where
// bytes already present begin, so nothing is fetched twice.

#include <cstdint>

#include "host/ByteRanges.hpp"

namespace tarnix::host {

/// The fetches of one open file so far.
struct SequentialRun {
  /// Where the last fetch ended (-1: none yet).
  std::int64_t end = -1;
  /// The length of the last fetch (0: none yet); the next one in the run doubles it.
  std::int64_t window = 0;
};

struct RangeFetchLimits {
  /// The smallest fetch, and what the cloud aligns ranges to.
  std::int64_t alignment = std::int64_t{1} << 20;
  /// The largest fetch a sequential run grows to.
  std::int64_t maximumWindow = std::int64_t{64} << 20;
};

/// The range to fetch for a read of [begin, end) of a file of `size` bytes of which `present`
/// holds some (ranges in flight do not count); starts at the first byte of the read that is not
/// present. Updates `run`. An empty range when the read needs nothing.
ByteRanges::Range rangeToFetch(const ByteRanges& present, std::int64_t size, std::int64_t begin,
                               std::int64_t end, SequentialRun& run,
                               const RangeFetchLimits& limits);

}  // namespace tarnix::host
