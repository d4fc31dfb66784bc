#pragma once
// The content downloads of a drive, over the drive's cloud client (its session, its error
// mapping, its completion rules): whole files through FileDownloader, byte ranges through
// RangeDownload, the choice between the cloud and the drive's on-premises fast-access endpoint,
// and transient failures tried again before the caller hears of them. This is the sync client
// the sync service hands content downloads to.
//
// Threads: every member may be called from any thread. Completions run exactly once, on the
// session's callback queue.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Mutex.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "common/AnalyticsSender.hpp"
#include "common/SyncItem.hpp"
#include "fileprovider/cloud/SyncClientProtocol.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/content/DownloadErrorHandler.hpp"
#include "fileprovider/content/DownloadParameters.hpp"
#include "fileprovider/content/DownloadRetries.hpp"
#include "fileprovider/content/ZephyrCache.hpp"

namespace tarnix::fileprovider {

class FileDownloader;
class RangeDownload;

/// How the downloads are set up.
struct DownloadConfiguration {
  /// The folder of resume data records (kept across attempts and restarts).
  std::filesystem::path resumeDirectory;
  std::shared_ptr<common::AnalyticsSender> analytics;
  /// The host of the drive's on-premises fast-access endpoint; none: every download goes to
  /// the cloud.
  std::optional<std::string> fastAccessDomain;
  /// How transient failures are tried again (see DownloadRetries).
  DownloadRetryPolicy retryPolicy = DownloadRetryPolicy::standard();
  /// What the waits between attempts are counted on.
  std::shared_ptr<base::Clock> clock = base::Clock::system();
};

/// `requested` widened to multiples of `alignment` (1 or less: unchanged), never past the
/// largest offset.
cloudfs::ByteRange alignedRange(cloudfs::ByteRange requested, std::int64_t alignment);

class SyncCloudDownloads final : public std::enable_shared_from_this<SyncCloudDownloads> {
 public:
  template <class T>
  using ResultHandler = SyncClientProtocol::ResultHandler<T>;

  /// Always held by a shared_ptr. Its downloads hold it weakly: when it goes, the downloads it
  /// started are cancelled (their completions get the cancellation error).
  explicit SyncCloudDownloads(std::shared_ptr<SyncCloudClient> cloudClient,
                              DownloadConfiguration configuration = {});
  /// Cancels the downloads still running.
  ~SyncCloudDownloads();

  const std::shared_ptr<SyncCloudClient>& cloudClient() const { return cloudClient_; }

  /// Replaces the download set-up; call before the first download.
  void configureDownloads(DownloadConfiguration configuration);
  /// Through a FileDownloader, resuming from kept resume data.
  fp::ProgressPtr downloadFile(const common::SyncItem& item, std::filesystem::path destination,
                               std::optional<common::CloudEntryIdentifier> requestedContentVersion,
                               fp::FetchContentsOptions options,
                               ResultHandler<common::SyncItem> completionHandler);
  /// `fetchPartialContents` with the fast-access endpoint allowed.
  fp::ProgressPtr downloadFilePartially(
      const common::SyncItem& item, std::filesystem::path destination,
      cloudfs::ByteRange requestedRange, std::int64_t alignment,
      std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      fp::FetchContentsOptions options, ResultHandler<PartialFetchOutputContext> completionHandler);
  /// The range rounded out to `alignment` into `destination`. A 200 answer is the whole file
  /// (so is the delivered range); 403 and 404 fail; an "ETag" other than the version asked for
  /// is entryIDMismatch. With `allowHybrid` the drive's fast-access endpoint is tried first
  /// and the cloud answers when it lacks the file or the version.
  fp::ProgressPtr fetchPartialContents(
      cloudfs::ByteRange size, const common::SyncItem& item, std::filesystem::path destination,
      std::int64_t alignment, std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      bool allowHybrid, ResultHandler<PartialFetchOutputContext> completionHandler);
  /// The cloud, or the fast-access endpoint when allowed, configured and not known to lack
  /// the version.
  DownloadParameters downloadParameters(const common::SyncItem& item,
                                        std::optional<common::CloudEntryIdentifier> version,
                                        bool allowHybrid);
  /// 404 → noSuchItem(item), 403 → fileLocked or permissionDenied, 401 →
  /// authenticationRequired, 429 → throttledByServer, anything else → badServerResponse.
  common::SyncError downloadErrorForStatus(const cloudfs::CloudFSResponse& response,
                                           const common::SyncItem& item) const;
  ZephyrCache& zephyrCache() { return zephyrCache_; }
  /// Whole-file downloads still running.
  std::size_t runningDownloads() const;

 private:
  /// The mapping of this object's error rules, holding it weakly.
  DownloadErrorHandler errorHandler(const common::SyncItem& item);

  std::shared_ptr<SyncCloudClient> cloudClient_;
  base::Logger logger_;

  mutable base::Mutex mutex_;
  DownloadConfiguration downloadConfiguration_ TARNIX_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<FileDownloader>> downloadSessions_ TARNIX_GUARDED_BY(mutex_);
  std::vector<std::weak_ptr<RangeDownload>> rangeDownloads_ TARNIX_GUARDED_BY(mutex_);
  std::shared_ptr<cloudfs::CloudFSSession> fastAccessSession_ TARNIX_GUARDED_BY(mutex_);
  ZephyrCache zephyrCache_;
};

}  // namespace tarnix::fileprovider
