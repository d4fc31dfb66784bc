#pragma once
// One whole-file download: streams the body into a file of the transport's download folder,
// checks the answer (status, entry id, size), and moves the file to its destination.
//
// An interrupted transfer (lost connection, cut body, cancellation) leaves resume data at
// `resumableDataLocation()`: a small JSON record holding the transport's resume data, which
// names the partly written file and the validator of the answer. The next download of the same
// file version picks it up and asks only for the missing bytes; the record and the partial file
// go once the download ends in any other way.
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

#include "base/Logger.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "common/AnalyticsSender.hpp"
#include "common/SyncItem.hpp"
#include "fileprovider/cloud/SyncCloudError.hpp"
#include "platform/fileprovider/Progress.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// The analytics event of every whole-file download start.
inline constexpr const char* kFileDownloadEvent = "file_download";

class FileDownloader : public std::enable_shared_from_this<FileDownloader> {
 public:
  struct ErrorHandler {
    /// The error of an answer whose status is neither 200 nor 206 (its body, up to 64 KiB,
    /// is in the response).
    std::function<common::SyncError(const cloudfs::CloudFSResponse&)> forStatus;
    /// The error of a transport failure.
    std::function<SyncCloudError(const cloudfs::CloudFSSessionError&)> forTransport;
  };
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
  };

  FileDownloader(Configuration configuration, Completion completionHandler);

  /// Resumes from kept resume data, else starts a new transfer. Call once.
  void start();
  /// Stops the transfer and keeps what arrived as resume data; the completion gets the
  /// cancellation error.
  void cancel();

  const common::SyncItem& item() const { return configuration_.item; }
  /// Bytes received out of bytes expected; cancelling it cancels the download.
  const fp::ProgressPtr& progress() const { return progress_; }
  /// The resume data record of this file version.
  const std::filesystem::path& resumableDataLocation() const;

 private:
  void startFresh();
  void resume(std::string resumeData, std::int64_t offset);
  void track(cloudfs::CloudFSSessionTask task);
  void handle(std::expected<cloudfs::CloudFSDownload, cloudfs::CloudFSSessionError> result);
  void handleDownload(cloudfs::CloudFSDownload download);
  void finish(SyncCloudResult<common::SyncItem> result);

  std::optional<std::string> readResumeData() const;
  void writeResumeData(const std::string& resumeData) const;
  void deleteResumeData() const;
  base::LoggerMetadata metadata() const;

  Configuration configuration_;
  Completion completionHandler_;
  fp::ProgressPtr progress_;
  mutable std::once_flag resumeLocationOnce_;
  mutable std::filesystem::path resumableDataLocation_;

  // Touched on the callback queue only, after start().
  bool resuming_ = false;
  bool restarted_ = false;

  std::mutex taskMutex_;
  cloudfs::CloudFSSessionTask task_;  // guarded by taskMutex_
  bool cancelled_ = false;            // guarded by taskMutex_
  std::atomic<bool> finished_{false};
};

}  // namespace tarnix::fileprovider
