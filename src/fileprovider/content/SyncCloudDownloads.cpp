#include "fileprovider/content/SyncCloudDownloads.hpp"

#include <algorithm>
#include <limits>

#include "base/LogExcerpt.hpp"
#include "fileprovider/content/FileDownloader.hpp"
#include "fileprovider/content/RangeDownload.hpp"

namespace tarnix::fileprovider {

using cloudfs::CloudFSResponse;
using cloudfs::CloudFSSessionError;
using common::SyncError;
using common::SyncItem;
using Code = common::SyncError::Code;

namespace {

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

}  // namespace

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
      metadata.set("body", base::logExcerpt(response.body.value_or("")));
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

SyncCloudDownloads::~SyncCloudDownloads() {
  std::vector<std::shared_ptr<FileDownloader>> downloads;
  std::vector<std::weak_ptr<RangeDownload>> rangeDownloads;
  {
    base::MutexLock lock(mutex_);
    downloads.swap(downloadSessions_);
    rangeDownloads.swap(rangeDownloads_);
  }
  for (const auto& download : downloads) download->cancel();
  for (const auto& running : rangeDownloads) {
    if (auto download = running.lock()) download->cancel();
  }
}

DownloadErrorHandler SyncCloudDownloads::errorHandler(const SyncItem& item) {
  DownloadErrorHandler handler;
  handler.forStatus = [weak = weak_from_this(), item](const CloudFSResponse& response) {
    if (auto downloads = weak.lock()) return downloads->downloadErrorForStatus(response, item);
    return SyncError(Code::badServerResponse);
  };
  handler.forTransport = [weak = weak_from_this()](const CloudFSSessionError& error) {
    if (auto downloads = weak.lock()) return downloads->cloudClient_->adaptSessionError(error);
    return SyncCloudError(error);
  };
  return handler;
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
  setup.retryPolicy = configuration.retryPolicy;
  setup.clock = configuration.clock;
  // The downloader holds this object weakly: once it is gone, it has cancelled the download.
  setup.errorHandler = errorHandler(item);
  // The downloader is kept until it completes.
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
  auto version = requestedContentVersion ? requestedContentVersion : item.contentVersion;
  RangeDownload::Configuration setup;
  setup.item = item;
  setup.groupID = common::CloudGroupIdentifier{*groupID};
  setup.range = alignedRange(size, alignment);
  setup.destination = std::move(destination);
  setup.parameters = downloadParameters(item, version, allowHybrid);
  setup.logger = logger_;
  // The download holds this object weakly: once it is gone, it has cancelled the download.
  setup.cloudParameters = [weak = weak_from_this(), item,
                           version]() -> std::optional<DownloadParameters> {
    if (auto downloads = weak.lock()) return downloads->downloadParameters(item, version, false);
    return std::nullopt;
  };
  setup.rememberFastAccess = [weak = weak_from_this(), item](ZephyrFileMode mode) {
    if (auto downloads = weak.lock()) downloads->zephyrCache_.setMode(item.itemIdentifier, mode);
  };
  setup.errorHandler = errorHandler(item);
  {
    base::MutexLock lock(mutex_);
    setup.retryPolicy = downloadConfiguration_.retryPolicy;
    setup.clock = downloadConfiguration_.clock;
  }
  auto download = std::make_shared<RangeDownload>(std::move(setup), std::move(completionHandler));
  {
    base::MutexLock lock(mutex_);
    std::erase_if(rangeDownloads_, [](const auto& running) { return running.expired(); });
    rangeDownloads_.push_back(download);
  }
  download->start();
  return download->progress();
}

}  // namespace tarnix::fileprovider
