#include "fileprovider/content/DownloadRetries.hpp"

#include <algorithm>
#include <cmath>

#include "base/HTTPRetryAfter.hpp"

namespace tarnix::fileprovider {

using Duration = base::Clock::Duration;

std::optional<Duration> DownloadRetryPolicy::delayBeforeRetry(int failedAttempts,
                                                              std::optional<Duration> retryAfter,
                                                              Duration waited) const {
  if (failedAttempts < 1 || failedAttempts >= maxAttempts) return std::nullopt;
  Duration delay;
  if (retryAfter) {
    if (*retryAfter > maxRetryAfter) return std::nullopt;
    delay = std::max(*retryAfter, Duration::zero());
  } else {
    delay = firstDelay;
    for (int i = 1; i < failedAttempts && delay < maxDelay; ++i) delay *= 2;
    delay = std::min(delay, maxDelay);
  }
  if (waited + delay > maxTotalDelay) return std::nullopt;
  return delay;
}

bool isTransientTransportFailure(const cloudfs::CloudFSSessionError& error) {
  const auto* urlError = std::get_if<cloudfs::URLError>(&error);
  if (!urlError) return false;
  using Code = cloudfs::URLError::Code;
  return urlError->code == Code::networkConnectionLost || urlError->code == Code::timedOut;
}

std::optional<Duration> retryAfterDelay(const cloudfs::HTTPURLResponse& response, base::Date now) {
  auto header = response.value(base::HTTPHeaderName::retryAfter);
  if (!header) return std::nullopt;
  auto retryAfter = base::HTTPRetryAfter::parse(*header);
  if (!retryAfter) return std::nullopt;
  const double seconds = retryAfter->timeInterval(now);
  if (!std::isfinite(seconds)) return std::nullopt;
  // Far beyond any bound a policy sets, and safe to convert.
  const double bounded = std::clamp(seconds, 0.0, 1e6);
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(bounded));
}

DownloadRetries::DownloadRetries(DownloadRetryPolicy policy, std::shared_ptr<base::Clock> clock)
    : policy_(policy), clock_(clock ? std::move(clock) : base::Clock::system()) {}

DownloadRetries::~DownloadRetries() {
  stop();
}

bool DownloadRetries::retry(std::optional<Duration> retryAfter, std::function<void()> again,
                            const base::Logger& logger, base::LoggerMetadata metadata) {
  std::optional<Duration> delay;
  {
    base::MutexLock lock(state_->mutex);
    if (state_->stopped || state_->waiting) return false;
    delay = policy_.delayBeforeRetry(state_->attempts, retryAfter, state_->waited);
    if (!delay) return false;
    ++state_->attempts;
    state_->waited += *delay;
    state_->waiting = true;
    metadata.set("attempt", state_->attempts);
  }
  metadata.set("delayMs", std::chrono::duration_cast<std::chrono::milliseconds>(*delay).count());
  logger.warning("Download failed, retrying", std::move(metadata));
  auto timer = clock_->after(*delay, [state = state_, again = std::move(again)] {
    {
      base::MutexLock lock(state->mutex);
      if (!state->waiting) return;
      state->waiting = false;
      state->timer.reset();
    }
    again();
  });
  base::MutexLock lock(state_->mutex);
  // Unless it has fired already.
  if (state_->waiting) state_->timer = std::move(timer);
  return true;
}

bool DownloadRetries::stop() {
  std::shared_ptr<base::DispatchWorkItem> timer;
  bool wasWaiting;
  {
    base::MutexLock lock(state_->mutex);
    state_->stopped = true;
    wasWaiting = state_->waiting;
    state_->waiting = false;
    timer = std::move(state_->timer);
  }
  if (timer) timer->cancel();
  return wasWaiting;
}

int DownloadRetries::attempts() const {
  base::MutexLock lock(state_->mutex);
  return state_->attempts;
}

}  // namespace tarnix::fileprovider
