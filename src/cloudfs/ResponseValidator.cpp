#include "cloudfs/ResponseValidator.hpp"

#include <fmt/format.h>

#include <cmath>

#include "base/HTTPRetryAfter.hpp"

namespace tarnix::cloudfs {

std::string formatSeconds(double seconds) {
  if (std::isfinite(seconds) && std::floor(seconds) == seconds && std::fabs(seconds) < 1e15) {
    return fmt::format("{:.1f}", seconds);
  }
  return fmt::format("{}", seconds);
}

std::optional<ResponseClassification> classifyResponse(const HTTPURLResponse& response,
                                                       std::string_view path, base::Date now) {
  using Level = base::LoggerLevel;
  const int status = response.statusCode;
  if (status >= 200 && status < 300) return std::nullopt;
  auto backoff = [&]() -> std::optional<double> {
    auto header = response.value(base::HTTPHeaderName::retryAfter);
    if (!header) return std::nullopt;
    auto retryAfter = base::HTTPRetryAfter::parse(*header);
    if (!retryAfter) return std::nullopt;
    return std::min(retryAfter->timeInterval(now), kMaximumBackoffSeconds);
  };
  ResponseClassification c;
  std::string at(path);
  switch (status) {
    case 400:
      c.message = "CFS rejected bad request in '" + at + "'";
      break;
    case 401:
      c.message = "CFS rejected authentication credentials";
      c.authenticationExpired = true;
      break;
    case 403:
      c.message = "CFS refuses to authorise '" + at + "' request";
      break;
    case 404:
      c.message = "CFS cannot find specified resource in '" + at + "'";
      break;
    case 429:
      c.message = "CFS applied throttling";
      if ((c.backoff = backoff())) {
        c.backoffMessage =
            "CFS applied throttling, sleeping for " + formatSeconds(*c.backoff) + " s";
      }
      break;
    case 503:
      c.message = "CFS service unavailable";
      if ((c.backoff = backoff())) {
        c.backoffMessage = "CFS service unavailable for " + formatSeconds(*c.backoff) + " s";
      }
      break;
    default:
      c.message = "Unexpected HTTP response";
      break;
  }
  if (status == 401 || status == 429 || status == 503) {
    c.level = Level::debug;
  } else if (status >= 400 && status < 500) {
    c.level = Level::error;
  } else {
    c.level = Level::warning;
  }
  return c;
}

std::string ResponseValidationError::description() const {
  return std::string(domain) + " " + std::to_string(code) + ": status " +
         std::to_string(statusCode);
}

void DispatchBackoffScheduler::after(double seconds, std::function<void()> resume) {
  auto delay = std::chrono::duration_cast<base::DispatchQueue::Clock::duration>(
      std::chrono::duration<double>(std::clamp(seconds, 0.0, kMaximumBackoffSeconds)));
  queue_->asyncAfter(delay, std::move(resume));
}

ResponseValidator::ResponseValidator(base::Logger logger,
                                     std::shared_ptr<DriveCloudErrorHandler> errorHandler,
                                     std::shared_ptr<BackoffScheduler> scheduler,
                                     std::shared_ptr<base::Clock> clock)
    : logger_(std::move(logger)),
      errorHandler_(std::move(errorHandler)),
      scheduler_(std::move(scheduler)),
      clock_(clock ? std::move(clock) : base::Clock::system()) {}

void ResponseValidator::validateResponse(const HTTPURLResponse& response, std::string_view path,
                                         Completion completion) const {
  auto classification = classifyResponse(response, path, clock_->now());
  if (!classification) return completion({});
  base::LoggerMetadata metadata{{"statusCode", response.statusCode}};
  logger_.log(classification->level, classification->message, metadata);
  if (classification->authenticationExpired && errorHandler_) {
    errorHandler_->authenticationDidExpire();
  }
  if (classification->fails()) {
    return completion(std::unexpected(ResponseValidationError{response.statusCode}));
  }
  if (!classification->backoff) return completion({});
  scheduler_->after(*classification->backoff, [logger = logger_, level = classification->level,
                                               message = classification->backoffMessage, metadata,
                                               completion = std::move(completion)] {
    logger.log(level, message, metadata);
    completion({});
  });
}

}  // namespace tarnix::cloudfs
