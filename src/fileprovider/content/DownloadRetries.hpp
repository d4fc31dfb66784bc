#pragma once
// How a download goes on after a transient failure (a connection dropped, reset or cut short, a
// time-out, a 500, 502, 503 or 504): a few more attempts, the waits between them growing, or as
// long as the server's "Retry-After" asks within a bound, all on a base::Clock. A whole-file
// download goes on from its resume data. Once the attempts are spent, the last failure is the
// download's.
//
// The standard policy: 4 attempts in all; waits of 0.5 s, 1 s and 2 s (doubling, at most 4 s);
// a "Retry-After" of up to 15 s is waited for, a longer one ends the download at once; all the
// waits of one download together stay within 20 s, well inside the time a reader through the
// mount is kept waiting.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "cloudfs/CloudFSSession.hpp"

namespace tarnix::fileprovider {

struct DownloadRetryPolicy {
  using Duration = base::Clock::Duration;

  /// Attempts in all, the first included.
  int maxAttempts = 4;
  /// The wait before the first retry; each further one doubles, up to `maxDelay`.
  Duration firstDelay = std::chrono::milliseconds(500);
  Duration maxDelay = std::chrono::seconds(4);
  /// The longest "Retry-After" waited for.
  Duration maxRetryAfter = std::chrono::seconds(15);
  /// The bound of all the waits of one download together.
  Duration maxTotalDelay = std::chrono::seconds(20);

  static DownloadRetryPolicy standard() { return {}; }
  /// One attempt.
  static DownloadRetryPolicy none() {
    DownloadRetryPolicy policy;
    policy.maxAttempts = 1;
    return policy;
  }

  /// The wait before another attempt, after `failedAttempts` attempts failed and `waited` was
  /// spent waiting between them; `retryAfter` is what the server asked for. None: no more
  /// attempts (they are spent, the server asks for too long, or the waits would pass their
  /// bound).
  std::optional<Duration> delayBeforeRetry(int failedAttempts, std::optional<Duration> retryAfter,
                                           Duration waited) const;
};

/// A transport failure that may pass when tried again: a connection lost (dropped, reset, cut
/// short) or timed out. A host that cannot be found or reached at all is not one.
bool isTransientTransportFailure(const cloudfs::CloudFSSessionError& error);

/// The wait the answer's "Retry-After" asks for, from `now`; none when absent or unreadable.
std::optional<base::Clock::Duration> retryAfterDelay(const cloudfs::HTTPURLResponse& response,
                                                     base::Date now);

/// The attempts of one download: counts them and schedules the next on the clock.
///
/// Threads: any thread.
class DownloadRetries {
 public:
  DownloadRetries(DownloadRetryPolicy policy, std::shared_ptr<base::Clock> clock);
  ~DownloadRetries();
  DownloadRetries(const DownloadRetries&) = delete;
  DownloadRetries& operator=(const DownloadRetries&) = delete;

  /// After a failed attempt: runs `again` once the policy's wait has passed (on a thread of the
  /// clock's) and returns true, or returns false when no more attempts are allowed or the
  /// retries were stopped. Logs "Download failed, retrying" with the wait.
  bool retry(std::optional<base::Clock::Duration> retryAfter, std::function<void()> again,
             const base::Logger& logger, base::LoggerMetadata metadata);
  /// Drops the attempt waiting for its time, if any, and allows no more. True when one was
  /// waiting (it never runs).
  bool stop();
  /// Attempts made or scheduled so far, the first included.
  int attempts() const;
  const std::shared_ptr<base::Clock>& clock() const { return clock_; }

 private:
  struct State {
    base::Mutex mutex;
    int attempts TARNIX_GUARDED_BY(mutex) = 1;
    base::Clock::Duration waited TARNIX_GUARDED_BY(mutex){};
    bool stopped TARNIX_GUARDED_BY(mutex) = false;
    /// An attempt waits for its time (exactly one of its timer and `stop` takes it).
    bool waiting TARNIX_GUARDED_BY(mutex) = false;
    std::shared_ptr<base::DispatchWorkItem> timer TARNIX_GUARDED_BY(mutex);
  };

  const DownloadRetryPolicy policy_;
  const std::shared_ptr<base::Clock> clock_;
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace tarnix::fileprovider
