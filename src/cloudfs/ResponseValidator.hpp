#pragma once
// Classification of the statuses of background cloud calls (event ingestion, the heart beat):
// what is logged and how loudly, whether the credentials expired, and how long to back off when
// the cloud throttles or is unavailable ("Retry-After").

#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.hpp"
#include "base/Date.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"
#include "cloudfs/URLRequest.hpp"

namespace tarnix::cloudfs {

/// What a status means for a background call; a function of the response alone.
struct ResponseClassification {
  base::LoggerLevel level = base::LoggerLevel::warning;
  std::string message;
  /// Seconds to wait before the caller retries (429 and 503 with a "Retry-After" that parses).
  std::optional<double> backoff;
  /// Logged after the wait.
  std::string backoffMessage;
  bool authenticationExpired = false;

  /// Error-level lines end the call with an error; the others let the caller go on.
  bool fails() const { return level <= base::LoggerLevel::error; }
};

/// The longest back-off honoured, whatever "Retry-After" says.
inline constexpr double kMaximumBackoffSeconds = 24 * 60 * 60;

/// Success statuses (2xx) give none: there is nothing to log.
std::optional<ResponseClassification> classifyResponse(const HTTPURLResponse& response,
                                                       std::string_view path, base::Date now);

/// "120.0", "0.5": seconds as the log lines write them.
std::string formatSeconds(double seconds);

/// The error a failing status ends a background call with.
struct ResponseValidationError {
  static constexpr std::string_view domain = "com.tarnix.BacgroundCFSIngestion";
  static constexpr int code = 1;
  int statusCode = 0;
  std::string description() const;
};

/// Waits without blocking a thread: runs `resume` after `seconds`.
class BackoffScheduler {
 public:
  virtual ~BackoffScheduler() = default;
  virtual void after(double seconds, std::function<void()> resume) = 0;
};

/// Waits on a dispatch queue's timer.
class DispatchBackoffScheduler final : public BackoffScheduler {
 public:
  explicit DispatchBackoffScheduler(std::shared_ptr<base::DispatchQueue> queue)
      : queue_(std::move(queue)) {}
  void after(double seconds, std::function<void()> resume) override;

 private:
  std::shared_ptr<base::DispatchQueue> queue_;
};

class ResponseValidator {
 public:
  using Completion = std::function<void(std::expected<void, ResponseValidationError>)>;

  ResponseValidator(base::Logger logger, std::shared_ptr<DriveCloudErrorHandler> errorHandler,
                    std::shared_ptr<BackoffScheduler> scheduler,
                    std::shared_ptr<base::Clock> clock = nullptr);

  /// Logs the status of `response` to the request at `path`, tells the error handler about
  /// expired credentials, waits out a "Retry-After", then completes: with an error for
  /// error-level statuses (400, 403, 404 and other 4xx but 401 and 429), otherwise with success
  /// so that the caller goes on (and retries after a 429 or 503).
  void validateResponse(const HTTPURLResponse& response, std::string_view path,
                        Completion completion) const;

 private:
  base::Logger logger_;
  std::shared_ptr<DriveCloudErrorHandler> errorHandler_;
  std::shared_ptr<BackoffScheduler> scheduler_;
  std::shared_ptr<base::Clock> clock_;  // dates "Retry-After"
};

}  // namespace tarnix::cloudfs
