#include "fileprovider/content/RangeDownload.hpp"

#include <algorithm>

#include "cloudfs/requests/DownloadRequests.hpp"
#include "fileprovider/content/DownloadJudge.hpp"
#include "fileprovider/content/DownloadResponse.hpp"

namespace tarnix::fileprovider {

using cloudfs::CloudFSDownload;
using cloudfs::CloudFSSessionError;
using common::SyncError;
using Code = common::SyncError::Code;

RangeDownload::RangeDownload(Configuration configuration, Completion completionHandler)
    : configuration_(std::move(configuration)),
      completionHandler_(std::move(completionHandler)),
      progress_(
          fp::Progress::make(configuration_.range.length > 0 ? configuration_.range.length : -1)),
      retries_(configuration_.retryPolicy, configuration_.clock) {}

base::LoggerMetadata RangeDownload::metadata(const DownloadParameters& parameters) const {
  const auto& item = configuration_.item;
  return base::LoggerMetadata{
      {"itemID", item.itemIdentifier.description()},
      {"itemCloudID", configuration_.groupID.rawValue},
      {"requestedContentVersion", parameters.version ? parameters.version->rawValue : ""},
  };
}

void RangeDownload::start() {
  progress_->setCancellationHandler([weak = weak_from_this()] {
    if (auto download = weak.lock()) download->cancel();
  });
  send(configuration_.parameters);
}

void RangeDownload::cancel() {
  cloudfs::CloudFSSessionTask current;
  std::shared_ptr<cloudfs::CloudFSSession> session;
  {
    base::MutexLock lock(mutex_);
    cancelled_ = true;
    current = task_;
    session = session_;
  }
  // Between attempts no request runs: the download ends here.
  if (retries_.stop() && session) {
    session->callbackQueue()->async(
        [self = shared_from_this()] { self->finish(std::unexpected(downloadCancelled())); });
    return;
  }
  current.cancel();
}

bool RangeDownload::retry(const DownloadParameters& parameters,
                          std::optional<base::Clock::Duration> retryAfter) {
  if (isCancelled()) return false;
  auto queue = parameters.session->callbackQueue();
  return retries_.retry(
      retryAfter,
      [self = shared_from_this(), parameters, queue] {
        queue->async([self, parameters] {
          if (self->finished_) return;
          if (self->isCancelled()) {
            return self->finish(std::unexpected(downloadCancelled()));
          }
          self->send(parameters);
        });
      },
      configuration_.logger, metadata(parameters));
}

bool RangeDownload::isCancelled() {
  base::MutexLock lock(mutex_);
  return cancelled_;
}

void RangeDownload::send(DownloadParameters parameters) {
  const auto& range = configuration_.range;
  cloudfs::DownloadFileRequest request(
      configuration_.groupID.rawValue,
      parameters.version ? std::optional(parameters.version->rawValue) : std::nullopt,
      wholeFile_ ? std::nullopt : std::optional(range));
  auto session = parameters.session;
  auto task = session->download(request, cloudfs::TarnixURLRequestOptions::extendedTimeout(),
                                [self = shared_from_this(), parameters](auto result) {
                                  self->handle(parameters, std::move(result));
                                });
  if (task.urlSessionTask) {
    task.urlSessionTask->setProgressHandler(
        [progress = progress_](const cloudfs::URLSessionProgress& p) {
          progress->setCompletedUnitCount(p.bytesReceived);
        });
  }
  bool cancelled;
  {
    base::MutexLock lock(mutex_);
    task_ = task;
    session_ = session;
    cancelled = cancelled_;
  }
  if (cancelled) task.cancel();
}

void RangeDownload::fallBackToCloud(const char* message, const DownloadParameters& parameters) {
  configuration_.logger.warning(message, metadata(parameters));
  if (parameters.version && configuration_.rememberFastAccess) {
    configuration_.rememberFastAccess(ZephyrFileMode::versionNotFound(*parameters.version));
  }
  auto cloud = configuration_.cloudParameters ? configuration_.cloudParameters() : std::nullopt;
  if (!cloud || cloud->usesHybrid) {
    return finish(std::unexpected(downloadCancelled()));
  }
  send(std::move(*cloud));
}

void RangeDownload::handle(const DownloadParameters& parameters,
                           std::expected<CloudFSDownload, CloudFSSessionError> result) {
  // A range is asked for whole again: what a broken transfer kept to resume from goes.
  if (const auto* urlError = result ? nullptr : std::get_if<cloudfs::URLError>(&result.error());
      urlError && urlError->resumeData) {
    discardResumeData(*urlError->resumeData);
  }
  if (finished_) return;
  if (isCancelled()) {
    if (result) {
      std::error_code ec;
      std::filesystem::remove(result->location, ec);
    }
    return finish(std::unexpected(downloadCancelled()));
  }
  if (!result) {
    const auto& error = result.error();
    if (parameters.usesHybrid && !cloudfs::isCancellation(error)) {
      return fallBackToCloud("Fast-access endpoint unreachable - downloading from CFS", parameters);
    }
    if (isTransientTransportFailure(error) && retry(parameters, std::nullopt)) return;
    return finish(std::unexpected(configuration_.errorHandler.endingTransportFailure(
        error, serverAnswered_, configuration_.logger, metadata(parameters))));
  }

  auto& download = *result;
  auto& response = download.response;
  const int status = response.httpResponse.statusCode;
  const std::int64_t received = response.downloadedFileSize.value_or(0);
  auto removeBody = [&] {
    std::error_code ec;
    std::filesystem::remove(download.location, ec);
  };
  serverAnswered_ = true;
  const auto verdict = judgeDownloadAnswer(
      {response.httpResponse, parameters.version,
       wholeFile_ ? std::nullopt : std::optional(configuration_.range), received});

  if (parameters.usesHybrid) {
    if (status == 404) {
      removeBody();
      return fallBackToCloud("File not found on Hybrid", parameters);
    }
    if (verdict.rejection == DownloadRejection::otherVersion) {
      removeBody();
      return fallBackToCloud("Entry ID mismatch - downloading from CFS", parameters);
    }
  }

  if (verdict.decision == DownloadDecision::downloadWhole && !wholeFile_) {
    auto logMetadata = metadata(parameters);
    logMetadata.set("statusCode", status);
    configuration_.logger.warning("Range not served as asked - downloading the whole file",
                                  std::move(logMetadata));
    removeBody();
    wholeFile_ = true;
    return send(parameters);
  }

  switch (verdict.rejection) {
    case DownloadRejection::none:
      if (verdict.decision == DownloadDecision::accept) break;
      [[fallthrough]];
    case DownloadRejection::badLength: {
      auto logMetadata = metadata(parameters);
      logMetadata.set("Content-Range",
                      response.httpResponse.value(base::HTTPHeaderName("Content-Range")));
      logMetadata.set("downloadedSize", received);
      configuration_.logger.error("Download file - size mismtach", std::move(logMetadata));
      removeBody();
      return finish(std::unexpected(SyncCloudError(SyncError(Code::badServerResponse))));
    }
    case DownloadRejection::status:
    case DownloadRejection::transientStatus:
      response.body = readErrorBody(download.location, kErrorBodyLimit);
      removeBody();
      if (verdict.rejection == DownloadRejection::transientStatus &&
          retry(parameters, retryAfterDelay(response.httpResponse, retries_.clock()->now()))) {
        return;
      }
      return finish(
          std::unexpected(SyncCloudError(configuration_.errorHandler.forStatus(response))));
    case DownloadRejection::otherVersion: {
      auto logMetadata = metadata(parameters);
      logMetadata.set("ETag", response.httpResponse.value(base::HTTPHeaderName::eTag));
      configuration_.logger.warning("Entry ID mismatch on download", std::move(logMetadata));
      removeBody();
      return finish(std::unexpected(SyncCloudError(SyncError(Code::entryIDMismatch))));
    }
  }

  if (status == 200) {
    configuration_.logger.info("Partial download did download entire file", metadata(parameters));
  }
  if (parameters.usesHybrid && configuration_.rememberFastAccess) {
    configuration_.rememberFastAccess(ZephyrFileMode::keelvault());
  }
  if (auto moved = moveFile(download.location, configuration_.destination); !moved) {
    auto logMetadata = metadata(parameters);
    logMetadata.set("error", moved.error().message());
    configuration_.logger.error("Unable to move downloaded file", std::move(logMetadata));
    removeBody();
    return finish(std::unexpected(downloadNotKept()));
  }
  progress_->setTotalUnitCount(std::max<std::int64_t>(received, 1));
  progress_->setCompletedUnitCount(std::max<std::int64_t>(received, 1));
  finish(PartialFetchOutputContext{configuration_.item, verdict.delivered});
}

void RangeDownload::finish(SyncCloudResult<PartialFetchOutputContext> result) {
  if (finished_.exchange(true)) return;
  auto completion = std::move(completionHandler_);
  completionHandler_ = nullptr;
  // What leads back to the owner goes before the caller hears of the end.
  configuration_.errorHandler = {};
  configuration_.cloudParameters = nullptr;
  configuration_.rememberFastAccess = nullptr;
  configuration_.parameters.session.reset();
  retries_.stop();
  {
    base::MutexLock lock(mutex_);
    task_ = {};
    session_.reset();
  }
  if (completion) completion(std::move(result));
}

}  // namespace tarnix::fileprovider
