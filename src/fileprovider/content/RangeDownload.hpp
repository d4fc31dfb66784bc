#pragma once
// One download of a byte range of a file into a file of its own: the request with its "Range",
// the answer judged by judgeDownloadAnswer, the hand-over from the drive's on-premises
// fast-access endpoint to the cloud when the endpoint cannot serve the file or the version,
// the whole file asked for when the server cannot serve the range, and a transient failure
// (see DownloadRetries) asked again as the configuration's retry policy allows.
//
// Threads: `start` and `cancel` may be called from any thread; everything else runs on the
// sessions' callback queues, one request at a time. The completion runs exactly once, also
// when the download is cancelled (then with the cancellation error and nothing handed over).

#include <atomic>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "base/Clock.hpp"
#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "common/SyncItem.hpp"
#include "fileprovider/cloud/SyncClientProtocol.hpp"
#include "fileprovider/content/DownloadErrorHandler.hpp"
#include "fileprovider/content/DownloadParameters.hpp"
#include "fileprovider/content/DownloadRetries.hpp"
#include "fileprovider/content/ZephyrCache.hpp"
#include "platform/fileprovider/Progress.hpp"

namespace tarnix::fileprovider {

class RangeDownload : public std::enable_shared_from_this<RangeDownload> {
 public:
  using Completion = std::function<void(SyncCloudResult<PartialFetchOutputContext>)>;

  struct Configuration {
    common::SyncItem item;
    common::CloudGroupIdentifier groupID;
    /// The bytes asked for (already widened to the alignment).
    cloudfs::ByteRange range;
    /// Where the body ends up; replaced when present.
    std::filesystem::path destination;
    /// Where the first request goes.
    DownloadParameters parameters;
    /// The cloud's parameters for the same version, for when the fast-access endpoint cannot
    /// serve it; none ends the download as cancelled (its owner is gone).
    std::function<std::optional<DownloadParameters>()> cloudParameters;
    /// Keeps what the fast-access endpoint answered for the file (may be empty).
    std::function<void(ZephyrFileMode)> rememberFastAccess;
    base::Logger logger = base::Logger::null();
    DownloadErrorHandler errorHandler;
    /// One attempt unless told otherwise.
    DownloadRetryPolicy retryPolicy = DownloadRetryPolicy::none();
    /// What the waits between attempts are counted on.
    std::shared_ptr<base::Clock> clock = base::Clock::system();
  };

  RangeDownload(Configuration configuration, Completion completionHandler);

  /// Sends the first request. Call once.
  void start();
  /// Stops the request in flight (or the wait for the next one); the completion gets the
  /// cancellation error.
  void cancel();
  /// Bytes received out of bytes asked for; cancelling it cancels the download.
  const fp::ProgressPtr& progress() const { return progress_; }

 private:
  void send(DownloadParameters parameters);
  void handle(const DownloadParameters& parameters,
              std::expected<cloudfs::CloudFSDownload, cloudfs::CloudFSSessionError> result);
  void fallBackToCloud(const char* message, const DownloadParameters& parameters);
  /// Sends `parameters` again after the policy's wait; false when the policy allows no more.
  bool retry(const DownloadParameters& parameters, std::optional<base::Clock::Duration> retryAfter);
  void finish(SyncCloudResult<PartialFetchOutputContext> result);
  bool isCancelled();
  base::LoggerMetadata metadata(const DownloadParameters& parameters) const;

  Configuration configuration_;
  Completion completionHandler_;
  fp::ProgressPtr progress_;
  DownloadRetries retries_;
  // Callback queues only, one request at a time.
  /// The server could not serve the range: the whole file is asked for.
  bool wholeFile_ = false;
  /// Some request got an answer from the server.
  bool serverAnswered_ = false;

  base::Mutex mutex_;
  cloudfs::CloudFSSessionTask task_ TARNIX_GUARDED_BY(mutex_);
  bool cancelled_ TARNIX_GUARDED_BY(mutex_) = false;
  /// The session of the last request: a cancellation between attempts completes on its queue.
  std::shared_ptr<cloudfs::CloudFSSession> session_ TARNIX_GUARDED_BY(mutex_);
  std::atomic<bool> finished_{false};
};

}  // namespace tarnix::fileprovider
