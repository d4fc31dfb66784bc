#pragma once
// Transfer timings of uploads for telemetry: per transfer, samples of (date, total bytes sent)
// from the progress callbacks, of which the last 3 seconds give the tail throughput.
//
// Thread-safe: every member may be called from any thread (one mutex guards the maps).

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "base/Date.hpp"
#include "base/Mutex.hpp"

namespace tarnix::fileprovider {

struct UploadNetworkStats {
  std::optional<std::int64_t> tailThroughputBytesPerSecond;
  std::optional<std::int64_t> stalledForMs;
  std::optional<std::int64_t> averageThroughputBytesPerSecond;
  std::optional<std::int64_t> timeToFirstResponseByteMs;
  std::optional<std::int64_t> domainLookupMs;
  std::optional<std::int64_t> connectMs;
  std::optional<std::int64_t> secureConnectionMs;
  std::optional<std::int64_t> requestBodyBytesSent;
  std::optional<std::string> networkProtocol;
  std::optional<bool> isReusedConnection;
  std::optional<std::string> remoteAddress;

  bool operator==(const UploadNetworkStats&) const = default;
};

/// Milliseconds of `seconds` (a duration in seconds); none for a negative interval.
std::optional<std::int64_t> milliseconds(double seconds);

class UploadNetworkStatsCollector {
 public:
  /// Samples older than this (behind the newest) are dropped.
  static constexpr std::chrono::seconds kTailWindow{3};

  void start(std::uint64_t taskIdentifier, std::string path, base::Date date);
  void didSendBodyData(std::uint64_t taskIdentifier, base::Date date, std::int64_t totalBytesSent);
  /// The statistics of the transfer at `now`, and forgets it.
  UploadNetworkStats finish(std::uint64_t taskIdentifier, base::Date now);

 private:
  struct Sample {
    base::Date date;
    std::int64_t totalBytesSent = 0;
  };
  struct Transfer {
    std::string path;
    base::Date started;
    std::deque<Sample> samples;
    std::int64_t totalBytesSent = 0;
  };
  base::Mutex mutex_;
  std::map<std::uint64_t, Transfer> transfers_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace tarnix::fileprovider
