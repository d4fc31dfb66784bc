#include "fileprovider/upload/UploadNetworkStatsCollector.hpp"

namespace tarnix::fileprovider {

namespace {

double secondsBetween(base::Date from, base::Date to) {
  return std::chrono::duration<double>(to - from).count();
}

std::optional<std::int64_t> throughput(std::int64_t bytes, double seconds) {
  if (seconds <= 0 || bytes < 0) return std::nullopt;
  return static_cast<std::int64_t>(static_cast<double>(bytes) / seconds);
}

}  // namespace

std::optional<std::int64_t> milliseconds(double seconds) {
  if (seconds < 0) return std::nullopt;
  return static_cast<std::int64_t>(seconds * 1000);
}

void UploadNetworkStatsCollector::start(std::uint64_t taskIdentifier, std::string path,
                                        base::Date date) {
  base::MutexLock lock(mutex_);
  transfers_[taskIdentifier] = Transfer{std::move(path), date, {}, 0};
}

void UploadNetworkStatsCollector::didSendBodyData(std::uint64_t taskIdentifier, base::Date date,
                                                  std::int64_t totalBytesSent) {
  base::MutexLock lock(mutex_);
  auto found = transfers_.find(taskIdentifier);
  if (found == transfers_.end()) return;
  auto& transfer = found->second;
  transfer.samples.push_back({date, totalBytesSent});
  transfer.totalBytesSent = totalBytesSent;
  while (!transfer.samples.empty() && date - transfer.samples.front().date > kTailWindow) {
    transfer.samples.pop_front();
  }
}

UploadNetworkStats UploadNetworkStatsCollector::finish(std::uint64_t taskIdentifier,
                                                       base::Date now) {
  base::MutexLock lock(mutex_);
  UploadNetworkStats stats;
  auto found = transfers_.find(taskIdentifier);
  if (found == transfers_.end()) return stats;
  const auto& transfer = found->second;
  stats.requestBodyBytesSent = transfer.totalBytesSent;
  stats.averageThroughputBytesPerSecond =
      throughput(transfer.totalBytesSent, secondsBetween(transfer.started, now));
  if (transfer.samples.size() >= 2) {
    const auto& first = transfer.samples.front();
    const auto& last = transfer.samples.back();
    stats.tailThroughputBytesPerSecond = throughput(last.totalBytesSent - first.totalBytesSent,
                                                    secondsBetween(first.date, last.date));
  }
  if (!transfer.samples.empty()) {
    stats.stalledForMs = milliseconds(secondsBetween(transfer.samples.back().date, now));
  }
  transfers_.erase(found);
  return stats;
}

}  // namespace tarnix::fileprovider
