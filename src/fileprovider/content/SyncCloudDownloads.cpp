#include "fileprovider/content/SyncCloudDownloads.hpp"

#include <algorithm>
#include <limits>

#include "fileprovider/content/DownloadResponse.hpp"
#include "fileprovider/content/FileDownloader.hpp"

namespace tarnix::fileprovider {

using cloudfs::CloudFSDownload;
using cloudfs::CloudFSResponse;
using cloudfs::CloudFSSessionError;
using common::SyncError;
using common::SyncItem;
using Code = common::SyncError::Code;

namespace {

constexpr std::size_t kErrorBodyLimit = 64 * 1024;

std::optional<std::string> groupIDOf(const SyncItem& item) {
  if (item.isFolder() || !item.cloudIdentifier || item.cloudIdentifier->isFolder()) {
    return std::nullopt;
  }
  return item.cloudIdentifier->rawValue();
}

fp::ProgressPtr finishedProgress() {
  auto progress = fp::Progress::make(1);
  progress->setCompletedUnitCount(1);
  return progress;
}

base::LoggerMetadata downloadMetadata(const SyncItem& item,
                                      const std::optional<common::CloudEntryIdentifier>& version) {
  return base::LoggerMetadata{
      {"itemID", item.itemIdentifier.description()},
      {"itemCloudID", item.cloudIdentifier ? item.cloudIdentifier->description() : std::string()},
      {"requestedContentVersion", version ? version->rawValue : std::string()},
  };
}

SyncCloudError cancelledDownload() {
  cloudfs::URLError error;
  error.code = cloudfs::URLError::Code::cancelled;
  error.message = "cancelled";
  return SyncCloudError(CloudFSSessionError(error));
}

}  // namespace

// One partial download: the task in flight (it changes when the fast-access endpoint hands
// over to the cloud) and the cancellation that must reach it.
struct PartialFetch {
  std::mutex mutex;
  cloudfs::CloudFSSessionTask task;  // guarded
  bool cancelled = false;            // guarded
  std::atomic<bool> finished{false};

  // False when the fetch was cancelled before the task could be kept.
  bool keep(cloudfs::CloudFSSessionTask next) {
    std::lock_guard lock(mutex);
    task = std::move(next);
    return !cancelled;
  }
  void cancel() {
    cloudfs::CloudFSSessionTask current;
    {
      std::lock_guard lock(mutex);
      cancelled = true;
      current = task;
    }
    current.cancel();
  }
};

cloudfs::ByteRange alignedRange(cloudfs::ByteRange requested, std::int64_t alignment) {
  if (alignment <= 1 || requested.location < 0 || requested.length < 1) return requested;
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  const std::int64_t start = requested.location - requested.location % alignment;
  std::int64_t end = requested.length > kMax - requested.location ? kMax : requested.end();
  if (end % alignment != 0) {
    const std::int64_t up = alignment - end % alignment;
    end = end > kMax - up ? kMax : end + up;
  }
  return {start, end - start};
}

SyncCloudDownloads::SyncCloudDownloads(std::shared_ptr<SyncCloudClient> cloudClient,
                                       DownloadConfiguration configuration)
    : cloudClient_(std::move(cloudClient)),
      logger_(cloudClient_->logger()),
      downloadConfiguration_(std::move(configuration)) {}

void SyncCloudDownloads::configureDownloads(DownloadConfiguration configuration) {
  base::MutexLock lock(mutex_);
  downloadConfiguration_ = std::move(configuration);
  fastAccessSession_.reset();
}

std::size_t SyncCloudDownloads::runningDownloads() const {
  base::MutexLock lock(mutex_);
  return downloadSessions_.size();
}

SyncError SyncCloudDownloads::downloadErrorForStatus(const CloudFSResponse& response,
                                                     const SyncItem& item) const {
  const int status = response.httpResponse.statusCode;
  base::LoggerMetadata metadata{{"itemID", item.itemIdentifier.description()},
                                {"statusCode", status}};
  switch (status) {
    case 404:
      logger_.warning("Requested file is no longer available on server", std::move(metadata));
      return SyncError::noSuchItem(item.itemIdentifier);
    case 403:
      if (auto locked = cloudClient_->checkForbiddenStatusCode(response, response.body.value_or(""),
                                                               item.filename)) {
        return *locked;
      }
      logger_.warning("Download rejected by server - permission denied", std::move(metadata));
      return SyncError(Code::permissionDenied);
    case 401:
      logger_.warning("Authentication failure encountered", std::move(metadata));
      if (const auto& handler = cloudClient_->cloudErrorHandler()) {
        handler->authenticationDidExpire();
      }
      return SyncError(Code::authenticationRequired);
    case 429:
      logger_.warning("Server received too many requests", std::move(metadata));
      return SyncError(Code::throttledByServer);
    default:
      metadata.set("body", response.body.value_or(""));
      metadata.set("X-Tarnix-Request-Id",
                   response.httpResponse.value(base::HTTPHeaderName::xTarnixRequestId));
      logger_.error("Encountered a generic error", std::move(metadata));
      return SyncError(Code::badServerResponse);
  }
}

DownloadParameters SyncCloudDownloads::downloadParameters(
    const SyncItem& item, std::optional<common::CloudEntryIdentifier> version, bool allowHybrid) {
  DownloadParameters parameters{cloudClient_->cfsSession(), std::move(version), std::nullopt,
                                false};
  if (!allowHybrid) return parameters;
  base::MutexLock lock(mutex_);
  if (!downloadConfiguration_.fastAccessDomain) return parameters;
  if (!shouldTryFastAccess(zephyrCache_.mode(item.itemIdentifier), parameters.version)) {
    return parameters;
  }
  if (!fastAccessSession_) {
    fastAccessSession_ = cloudClient_->cfsSessionFactory()->makeSession(
        cloudClient_->drive(), *downloadConfiguration_.fastAccessDomain);
  }
  parameters.session = fastAccessSession_;
  parameters.usesHybrid = true;
  return parameters;
}

SyncCloudDownloads::~SyncCloudClient() {
  std::vector<std::shared_ptr<FileDownloader>> downloads;
  std::vector<std::weak_ptr<PartialFetch>> partialFetches;
  {
    base::MutexLock lock(mutex_);
    downloads.swap(downloadSessions_);
    partialFetches.swap(partialFetches_);
  }
  for (const auto& download : downloads) download->cancel();
  for (const auto& running : partialFetches) {
    if (auto fetch = running.lock()) fetch->cancel();
  }
}

// MARK: Whole files

fp::ProgressPtr SyncCloudDownloads::downloadFile(
    const SyncItem& item, std::filesystem::path destination,
    std::optional<common::CloudEntryIdentifier> requestedContentVersion, fp::FetchContentsOptions,
    ResultHandler<SyncItem> completionHandler) {
  auto groupID = groupIDOf(item);
  if (!groupID) {
    cloudClient_->failWithoutCloudIdentifier(item, std::move(completionHandler));
    return finishedProgress();
  }
  DownloadConfiguration configuration;
  {
    base::MutexLock lock(mutex_);
    configuration = downloadConfiguration_;
  }
  if (configuration.resumeDirectory.empty()) {
    configuration.resumeDirectory = std::filesystem::temp_directory_path() /
                                    ("tarnix-resume-" + cloudClient_->drive().identifier);
  }
  FileDownloader::Configuration setup;
  setup.item = item;
  setup.groupID = common::CloudGroupIdentifier{*groupID};
  setup.entryID = requestedContentVersion ? requestedContentVersion : item.contentVersion;
  setup.cloudFSSession = cloudClient_->cfsSession();
  setup.destination = std::move(destination);
  setup.resumeDirectory = configuration.resumeDirectory;
  setup.logger = logger_;
  setup.analytics = configuration.analytics;
  // The downloader holds the client weakly: a client that is gone has cancelled it.
  setup.errorHandler.forStatus = [weak = weak_from_this(), item](const CloudFSResponse& response) {
    if (auto downloads = weak.lock()) return downloads->downloadErrorForStatus(response, item);
    return SyncError(Code::badServerResponse);
  };
  setup.errorHandler.forTransport = [weak = weak_from_this()](const CloudFSSessionError& error) {
    if (auto downloads = weak.lock()) return downloads->cloudClient_->adaptSessionError(error);
    return SyncCloudError(error);
  };
  // The client keeps the downloader until it completes.
  auto holder = std::make_shared<std::weak_ptr<FileDownloader>>();
  auto downloader = std::make_shared<FileDownloader>(
      std::move(setup),
      [weak = weak_from_this(), holder,
       completionHandler = std::move(completionHandler)](SyncCloudResult<SyncItem> result) {
        if (auto downloads = weak.lock()) {
          base::MutexLock lock(downloads->mutex_);
          std::erase(downloads->downloadSessions_, holder->lock());
        }
        completionHandler(std::move(result));
      });
  *holder = downloader;
  {
    base::MutexLock lock(mutex_);
    downloadSessions_.push_back(downloader);
  }
  downloader->start();
  return downloader->progress();
}

// MARK: Byte ranges

fp::ProgressPtr SyncCloudDownloads::downloadFilePartially(
    const SyncItem& item, std::filesystem::path destination, cloudfs::ByteRange requestedRange,
    std::int64_t alignment, std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    fp::FetchContentsOptions, ResultHandler<PartialFetchOutputContext> completionHandler) {
  return fetchPartialContents(requestedRange, item, std::move(destination), alignment,
                              std::move(requestedContentVersion), true,
                              std::move(completionHandler));
}

fp::ProgressPtr SyncCloudDownloads::fetchPartialContents(
    cloudfs::ByteRange size, const SyncItem& item, std::filesystem::path destination,
    std::int64_t alignment, std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    bool allowHybrid, ResultHandler<PartialFetchOutputContext> completionHandler) {
  auto groupID = groupIDOf(item);
  if (!groupID) {
    cloudClient_->failWithoutCloudIdentifier(item, std::move(completionHandler));
    return finishedProgress();
  }
  const auto range = alignedRange(size, alignment);
  auto version = requestedContentVersion ? requestedContentVersion : item.contentVersion;
  auto progress = fp::Progress::make(range.length > 0 ? range.length : -1);
  auto fetch = std::make_shared<PartialFetch>();
  progress->setCancellationHandler([fetch] { fetch->cancel(); });
  {
    base::MutexLock lock(mutex_);
    std::erase_if(partialFetches_, [](const auto& running) { return running.expired(); });
    partialFetches_.push_back(fetch);
  }

  auto finish = [fetch, completionHandler = std::move(completionHandler)](
                    SyncCloudResult<PartialFetchOutputContext> result) {
    if (fetch->finished.exchange(true)) return;
    completionHandler(std::move(result));
  };
  // Sends the range on `parameters`; a fast-access miss comes back here for the cloud. The
  // attempts hold the client weakly: a client that is gone has cancelled them.
  auto send = std::make_shared<std::function<void(DownloadParameters)>>();
  *send = [weak = weak_from_this(), item, groupID = *groupID, range, destination, progress, fetch,
           finish, weakSend = std::weak_ptr(send)](DownloadParameters parameters) {
    cloudfs::DownloadFileRequest request(
        groupID, parameters.version ? std::optional(parameters.version->rawValue) : std::nullopt,
        range);
    auto onDone =
        [weak, item, range, destination, progress, fetch, finish, parameters,
         retry = weakSend.lock()](std::expected<CloudFSDownload, CloudFSSessionError> result) {
          auto self = weak.lock();
          if (!self) {
            if (result) {
              std::error_code ec;
              std::filesystem::remove(result->location, ec);
            }
            return finish(std::unexpected(cancelledDownload()));
          }
          auto fallBack = [&](const char* message) {
            self->logger_.warning(message, downloadMetadata(item, parameters.version));
            if (parameters.version) {
              self->zephyrCache_.setMode(item.itemIdentifier,
                                         ZephyrFileMode::versionNotFound(*parameters.version));
            }
            (*retry)(self->downloadParameters(item, parameters.version, false));
          };
          if (!result) {
            const auto& error = result.error();
            if (parameters.usesHybrid && !cloudfs::isCancellation(error) && retry) {
              return fallBack("Fast-access endpoint unreachable - downloading from CFS");
            }
            return finish(std::unexpected(self->cloudClient_->adaptSessionError(error)));
          }
          auto& download = *result;
          auto removeBody = [&] {
            std::error_code ec;
            std::filesystem::remove(download.location, ec);
          };
          auto& response = download.response;
          const int status = response.httpResponse.statusCode;
          const bool versionMatches =
              !parameters.version || entityTagNames(response.httpResponse, *parameters.version);
          if (parameters.usesHybrid && retry) {
            if (status == 404) {
              removeBody();
              return fallBack("File not found on Hybrid");
            }
            if ((status == 200 || status == 206) && !versionMatches) {
              removeBody();
              return fallBack("Entry ID mismatch - downloading from CFS");
            }
          }
          if (status != 200 && status != 206) {
            response.body = readErrorBody(download.location, kErrorBodyLimit);
            removeBody();
            return finish(
                std::unexpected(SyncCloudError(self->downloadErrorForStatus(response, item))));
          }
          if (!versionMatches) {
            auto metadata = downloadMetadata(item, parameters.version);
            metadata.set("ETag", response.httpResponse.value(base::HTTPHeaderName::eTag));
            self->logger_.warning("Entry ID mismatch on download", std::move(metadata));
            removeBody();
            return finish(std::unexpected(SyncCloudError(SyncError(Code::entryIDMismatch))));
          }
          const std::int64_t received = response.downloadedFileSize.value_or(0);
          cloudfs::ByteRange delivered{0, received};
          if (status == 200) {
            self->logger_.info("Partial download did download entire file",
                               downloadMetadata(item, parameters.version));
          } else {
            auto contentRange = parseContentRange(response.httpResponse);
            if (!contentRange || contentRange->last - contentRange->first + 1 != received ||
                contentRange->first > range.location) {
              auto metadata = downloadMetadata(item, parameters.version);
              metadata.set("Content-Range",
                           response.httpResponse.value(base::HTTPHeaderName("Content-Range")));
              metadata.set("downloadedSize", received);
              self->logger_.error("Download file - size mismtach", std::move(metadata));
              removeBody();
              return finish(std::unexpected(SyncCloudError(SyncError(Code::badServerResponse))));
            }
            delivered = {contentRange->first, received};
          }
          if (parameters.usesHybrid) {
            self->zephyrCache_.setMode(item.itemIdentifier, ZephyrFileMode::keelvault());
          }
          if (auto moved = moveFile(download.location, destination); !moved) {
            auto metadata = downloadMetadata(item, parameters.version);
            metadata.set("error", moved.error().message());
            self->logger_.error("Unable to move downloaded file", std::move(metadata));
            removeBody();
            cloudfs::URLError error;
            error.code = cloudfs::URLError::Code::cannotWriteToFile;
            error.message = "cannot move the downloaded file";
            return finish(std::unexpected(SyncCloudError(CloudFSSessionError(error))));
          }
          progress->setTotalUnitCount(std::max<std::int64_t>(received, 1));
          progress->setCompletedUnitCount(std::max<std::int64_t>(received, 1));
          finish(PartialFetchOutputContext{item, delivered});
        };
    auto task = parameters.session->download(
        request, cloudfs::TarnixURLRequestOptions::extendedTimeout(), std::move(onDone));
    if (task.urlSessionTask) {
      task.urlSessionTask->setProgressHandler([progress](const cloudfs::URLSessionProgress& p) {
        progress->setCompletedUnitCount(p.bytesReceived);
      });
    }
    if (!fetch->keep(task)) task.cancel();
  };
  // Each attempt in flight holds the sender, so a fast-access miss can still reach the cloud.
  (*send)(downloadParameters(item, version, allowHybrid));
  return progress;
}

}  // namespace tarnix::fileprovider
