#pragma once
// One whole-file download: streams the body into a file of the transport's download folder,
// checks the answer (status, entry id, size), and moves the file to its destination.
//
// An interrupted transfer (lost connection, cut body, cancellation) leaves resume data at
// `resumableDataLocation()`: a small JSON record holding the transport's resume data, which
// names the partly written file and the validator of the answer, never credentials. The record
// is the user's alone (0600, in a 0700 folder). The next download of the same file version
// picks it up and asks only for the missing bytes, authorised afresh; the record and the
// partial file go once the download ends in any other way.
//
// A transient failure (see DownloadRetries) is tried again as the configuration's retry policy
// allows, from the resume data an interrupted transfer left. A connection the server broke off
// ends the download with that transport error, never as an unreachable server.
//
// Threads: `start` and `cancel` may be called from any thread. Everything else runs on the
// session's callback queue; the completion runs exactly once, there.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/Clock.hpp"
#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "common/AnalyticsSender.hpp"
#include "common/SyncItem.hpp"
#include "fileprovider/cloud/SyncCloudError.hpp"
#include "fileprovider/content/DownloadErrorHandler.hpp"
#include "fileprovider/content/DownloadRetries.hpp"
#include "platform/fileprovider/Progress.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// The analytics event of every whole-file download start.
inline constexpr const char* kFileDownloadEvent = "file_download";

class FileDownloader : public std::enable_shared_from_this<FileDownloader> {
 public:
  using ErrorHandler = DownloadErrorHandler;
  using Completion = std::function<void(SyncCloudResult<common::SyncItem>)>;

  struct Configuration {
    common::SyncItem item;
    common::CloudGroupIdentifier groupID;
    /// The version asked for; the answer's "ETag" must name it.
    std::optional<common::CloudEntryIdentifier> entryID;
    std::optional<std::string> cloudPath;
    std::shared_ptr<cloudfs::CloudFSSession> cloudFSSession;
    /// Where the file ends up; replaced when present.
    std::filesystem::path destination;
    /// The folder of resume data records.
    std::filesystem::path resumeDirectory;
    base::Logger logger = base::Logger::null();
    ErrorHandler errorHandler;
    std::shared_ptr<common::AnalyticsSender> analytics;
    /// One attempt unless told otherwise.
    DownloadRetryPolicy retryPolicy = DownloadRetryPolicy::none();
    /// What the waits between attempts are counted on.
    std::shared_ptr<base::Clock> clock = base::Clock::system();
  };

  FileDownloader(Configuration configuration, Completion completionHandler);

  /// Resumes from kept resume data, else starts a new transfer. Call once.
  void start();
  /// Stops the transfer (or the wait for the next attempt) and keeps what arrived as resume
  /// data; the completion gets the cancellation error.
  void cancel();

  const common::SyncItem& item() const { return configuration_.item; }
  /// Bytes received out of bytes expected; cancelling it cancels the download.
  const fp::ProgressPtr& progress() const { return progress_; }
  /// The resume data record of this file version.
  const std::filesystem::path& resumableDataLocation() const;

 private:
  void begin();
  void startFresh();
  void resume(std::string resumeData, std::int64_t offset);
  void track(cloudfs::CloudFSSessionTask task);
  void handle(std::expected<cloudfs::CloudFSDownload, cloudfs::CloudFSSessionError> result);
  void handleDownload(cloudfs::CloudFSDownload download);
  void finish(SyncCloudResult<common::SyncItem> result);
  /// Schedules the next attempt; false when the policy allows none.
  bool retry(std::optional<base::Clock::Duration> retryAfter);
  bool isCancelled();

  std::optional<std::string> readResumeData() const;
  void writeResumeData(const std::string& resumeData) const;
  void deleteResumeData() const;
  base::LoggerMetadata metadata() const;

  Configuration configuration_;
  Completion completionHandler_;
  fp::ProgressPtr progress_;
  mutable std::once_flag resumeLocationOnce_;
  mutable std::filesystem::path resumableDataLocation_;

  DownloadRetries retries_;

  // Touched on the callback queue only, after start().
  bool resuming_ = false;
  bool restarted_ = false;
  /// Some attempt got an answer (or bytes) from the server.
  bool serverAnswered_ = false;

  base::Mutex taskMutex_;
  cloudfs::CloudFSSessionTask task_ TARNIX_GUARDED_BY(taskMutex_);
  bool cancelled_ TARNIX_GUARDED_BY(taskMutex_) = false;
  /// The session whose queue a cancellation between attempts completes on.
  std::shared_ptr<cloudfs::CloudFSSession> session_ TARNIX_GUARDED_BY(taskMutex_);
  std::atomic<bool> finished_{false};
};

}  // namespace tarnix::fileprovider
