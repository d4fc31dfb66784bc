#include "fileprovider/content/FileDownloader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

#include "base/Hash.hpp"
#include "base/JSONValue.hpp"
#include "base/PrivateFiles.hpp"
#include "base/Uuid.hpp"
#include "cloudfs/requests/DownloadRequests.hpp"
#include "fileprovider/content/DownloadJudge.hpp"
#include "fileprovider/content/DownloadResponse.hpp"
#include "fileprovider/content/DownloadRetries.hpp"

namespace tarnix::fileprovider {

using cloudfs::CloudFSDownload;
using cloudfs::CloudFSSessionError;
using common::SyncError;
using Code = common::SyncError::Code;

namespace {

// The transport could not go on from its resume data: the partial file is gone, or the
// server answered another range than the one asked for. Resume data the transport hands back
// with such a failure would only fail the same way next time.
bool resumeUnusable(const CloudFSSessionError& error) {
  const auto* urlError = std::get_if<cloudfs::URLError>(&error);
  if (!urlError) return false;
  using C = cloudfs::URLError::Code;
  return urlError->code == C::cannotOpenFile || urlError->code == C::badServerResponse ||
         urlError->code == C::badURL;
}

// Writes `text` to `file`, readable by the user alone whatever the umask.
std::error_code writePrivateFile(const std::filesystem::path& file, std::string_view text) {
  const int fd = base::openPrivateFile(file, O_WRONLY | O_EXCL | O_NOFOLLOW);
  if (fd < 0) return std::error_code(errno, std::generic_category());
  std::error_code ec;
  while (!ec && !text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ec = std::error_code(errno, std::generic_category());
      break;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0 && !ec) ec = std::error_code(errno, std::generic_category());
  return ec;
}

}  // namespace

FileDownloader::FileDownloader(Configuration configuration, Completion completionHandler)
    : configuration_(std::move(configuration)),
      completionHandler_(std::move(completionHandler)),
      progress_(fp::Progress::make(
          configuration_.item.contentSize > 0 ? configuration_.item.contentSize : -1)),
      retries_(configuration_.retryPolicy, configuration_.clock),
      session_(configuration_.cloudFSSession) {}

const std::filesystem::path& FileDownloader::resumableDataLocation() const {
  std::call_once(resumeLocationOnce_, [this] {
    const std::string key =
        configuration_.groupID.rawValue + "\n" +
        (configuration_.entryID ? configuration_.entryID->rawValue : std::string());
    resumableDataLocation_ =
        configuration_.resumeDirectory / (base::sha256Hex(key).substr(0, 32) + ".resume");
  });
  return resumableDataLocation_;
}

base::LoggerMetadata FileDownloader::metadata() const {
  const auto& item = configuration_.item;
  return base::LoggerMetadata{
      {"itemID", item.itemIdentifier.description()},
      {"itemCloudID", configuration_.groupID.rawValue},
      {"requestedContentVersion",
       configuration_.entryID ? configuration_.entryID->rawValue : std::string()},
  };
}

void FileDownloader::start() {
  progress_->setCancellationHandler([weak = weak_from_this()] {
    if (auto downloader = weak.lock()) downloader->cancel();
  });
  begin();
}

void FileDownloader::begin() {
  if (auto kept = readResumeData()) {
    if (auto info = cloudfs::inspectResumeData(*kept))
      return resume(std::move(*kept), info->offset);
    // A record whose partial file is gone is of no use.
    deleteResumeData();
  }
  startFresh();
}

void FileDownloader::startFresh() {
  resuming_ = false;
  configuration_.logger.info("Download started", metadata());
  if (configuration_.analytics) {
    configuration_.analytics->send({kFileDownloadEvent,
                                    {{"resumable_data_used", false},
                                     {"atOffset", 0},
                                     {"expectedBytes", configuration_.item.contentSize}}});
  }
  cloudfs::DownloadFileRequest request(
      configuration_.groupID.rawValue,
      configuration_.entryID ? std::optional(configuration_.entryID->rawValue) : std::nullopt);
  track(configuration_.cloudFSSession->download(
      request, cloudfs::TarnixURLRequestOptions::extendedTimeout(),
      [self = shared_from_this()](auto result) { self->handle(std::move(result)); }));
}

void FileDownloader::resume(std::string resumeData, std::int64_t offset) {
  resuming_ = true;
  auto logMetadata = metadata();
  logMetadata.set("atOffset", offset);
  configuration_.logger.info("Download resumed", std::move(logMetadata));
  if (configuration_.analytics) {
    configuration_.analytics->send({kFileDownloadEvent,
                                    {{"resumable_data_used", true},
                                     {"atOffset", offset},
                                     {"expectedBytes", configuration_.item.contentSize}}});
  }
  track(configuration_.cloudFSSession->download(
      std::move(resumeData),
      [self = shared_from_this()](auto result) { self->handle(std::move(result)); }));
}

void FileDownloader::track(cloudfs::CloudFSSessionTask task) {
  if (task.urlSessionTask) {
    task.urlSessionTask->setProgressHandler(
        [progress = progress_](const cloudfs::URLSessionProgress& update) {
          if (update.totalBytesExpectedToReceive > 0) {
            progress->setTotalUnitCount(update.totalBytesExpectedToReceive);
          }
          progress->setCompletedUnitCount(update.bytesReceived);
        });
  }
  bool cancelNow = false;
  {
    base::MutexLock lock(taskMutex_);
    // A transfer that already ended is not kept.
    if (!finished_) task_ = std::move(task);
    cancelNow = cancelled_ && !finished_;
  }
  if (cancelNow) cancel();
}

void FileDownloader::cancel() {
  std::shared_ptr<cloudfs::URLSessionTask> task;
  std::shared_ptr<cloudfs::CloudFSSession> session;
  {
    base::MutexLock lock(taskMutex_);
    cancelled_ = true;
    task = task_.urlSessionTask;
    session = session_;
  }
  // Between attempts no transfer runs: the download ends here, its resume data kept.
  if (retries_.stop() && session) {
    session->callbackQueue()->async(
        [self = shared_from_this()] { self->finish(std::unexpected(downloadCancelled())); });
    return;
  }
  // The cancellation's error carries the resume data; `handle` keeps it.
  if (task) task->cancelByProducingResumeData([](std::optional<std::string>) {});
}

bool FileDownloader::isCancelled() {
  base::MutexLock lock(taskMutex_);
  return cancelled_;
}

bool FileDownloader::retry(std::optional<base::Clock::Duration> retryAfter) {
  if (isCancelled()) return false;
  auto queue = configuration_.cloudFSSession->callbackQueue();
  return retries_.retry(
      retryAfter,
      [self = shared_from_this(), queue] {
        queue->async([self] {
          if (self->finished_) return;
          if (self->isCancelled()) return self->finish(std::unexpected(downloadCancelled()));
          self->begin();
        });
      },
      configuration_.logger, metadata());
}

void FileDownloader::handle(std::expected<CloudFSDownload, CloudFSSessionError> result) {
  if (finished_) return;
  if (result) return handleDownload(std::move(*result));

  const auto& error = result.error();
  const bool cancelled = isCancelled();
  if (resuming_ && !restarted_ && !cancelled && resumeUnusable(error)) {
    configuration_.logger.warning("Resuming download failed, starting from scratch", metadata());
    deleteResumeData();
    restarted_ = true;
    return startFresh();
  }
  const auto* urlError = std::get_if<cloudfs::URLError>(&error);
  if (urlError && urlError->resumeData) {
    serverAnswered_ = true;
    writeResumeData(*urlError->resumeData);
  } else {
    deleteResumeData();
  }
  if (!cancelled && isTransientTransportFailure(error) && retry(std::nullopt)) return;
  finish(std::unexpected(configuration_.errorHandler.endingTransportFailure(
      error, serverAnswered_, configuration_.logger, metadata())));
}

void FileDownloader::handleDownload(CloudFSDownload download) {
  auto& response = download.response;
  const int status = response.httpResponse.statusCode;
  const std::int64_t received = response.downloadedFileSize.value_or(0);
  auto removeBody = [&] {
    std::error_code ec;
    std::filesystem::remove(download.location, ec);
  };

  serverAnswered_ = true;
  const auto verdict =
      judgeDownloadAnswer({response.httpResponse, configuration_.entryID, std::nullopt, received});
  switch (verdict.rejection) {
    case DownloadRejection::none:
      // The whole file was asked for: the judge never asks for it instead.
      if (verdict.decision == DownloadDecision::accept) break;
      [[fallthrough]];
    case DownloadRejection::badLength: {
      auto contentRange = parseContentRange(response.httpResponse);
      auto logMetadata = metadata();
      logMetadata.set("expectedSize", contentRange ? contentRange->completeLength : -1);
      logMetadata.set("downloadedSize", received);
      configuration_.logger.error("Download file - size mismtach", std::move(logMetadata));
      removeBody();
      deleteResumeData();
      return finish(std::unexpected(SyncCloudError(SyncError(Code::badServerResponse))));
    }
    case DownloadRejection::status:
    case DownloadRejection::transientStatus:
      if (status == 401 && resuming_ && !restarted_) {
        configuration_.logger.warning(
            "Auth error while resuming download (auto-start from scratch)", metadata());
        removeBody();
        deleteResumeData();
        restarted_ = true;
        return startFresh();
      }
      response.body = readErrorBody(download.location, kErrorBodyLimit);
      removeBody();
      // A resumed transfer has written the answer over what it resumed from.
      deleteResumeData();
      if (verdict.rejection == DownloadRejection::transientStatus &&
          retry(retryAfterDelay(response.httpResponse, retries_.clock()->now()))) {
        return;
      }
      return finish(
          std::unexpected(SyncCloudError(configuration_.errorHandler.forStatus(response))));
    case DownloadRejection::otherVersion: {
      auto logMetadata = metadata();
      logMetadata.set("ETag", response.httpResponse.value(base::HTTPHeaderName::eTag).value_or(""));
      configuration_.logger.warning("Entry ID mismatch on download", std::move(logMetadata));
      removeBody();
      deleteResumeData();
      return finish(std::unexpected(SyncCloudError(SyncError(Code::entryIDMismatch))));
    }
  }

  auto item = configuration_.item;
  if (item.contentSize != received) {
    // The cloud's answer for this version is whole (its length was checked); the stored size
    // is what is stale, so the handed-over item carries the size of the bytes delivered.
    auto logMetadata = metadata();
    logMetadata.set("expectedSize", item.contentSize);
    logMetadata.set("downloadedSize", received);
    configuration_.logger.warning("Download file - size mismtach", std::move(logMetadata));
    item.contentSize = received;
  }

  if (auto moved = moveFile(download.location, configuration_.destination); !moved) {
    auto logMetadata = metadata();
    logMetadata.set("destination", configuration_.destination.string());
    logMetadata.set("error", moved.error().message());
    configuration_.logger.error("Unable to move downloaded file", std::move(logMetadata));
    removeBody();
    deleteResumeData();
    return finish(std::unexpected(downloadNotKept()));
  }
  deleteResumeData();
  progress_->setTotalUnitCount(std::max<std::int64_t>(received, 1));
  progress_->setCompletedUnitCount(std::max<std::int64_t>(received, 1));
  auto logMetadata = metadata();
  logMetadata.set("size", received);
  configuration_.logger.info("Download completed", std::move(logMetadata));
  finish(std::move(item));
}

void FileDownloader::finish(SyncCloudResult<common::SyncItem> result) {
  if (finished_.exchange(true)) return;
  auto completion = std::move(completionHandler_);
  completionHandler_ = nullptr;
  // What leads back to the client and its transport goes before the caller hears of the end,
  // so that a caller that then lets go of the client is the one that ends it.
  configuration_.errorHandler = {};
  configuration_.cloudFSSession.reset();
  retries_.stop();
  {
    base::MutexLock lock(taskMutex_);
    task_ = {};
    session_.reset();
  }
  if (completion) completion(std::move(result));
}

// MARK: Resume data

std::optional<std::string> FileDownloader::readResumeData() const {
  std::error_code ec;
  if (!std::filesystem::exists(resumableDataLocation(), ec)) return std::nullopt;
  std::ifstream in(resumableDataLocation(), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto json = base::parseJSON(text);
  if (!json || !json->is_object()) return std::nullopt;
  auto group = base::jsonString(*json, "groupID");
  auto entry = base::jsonString(*json, "entryID");
  auto data = base::jsonString(*json, "resumeData");
  const std::string wantedEntry =
      configuration_.entryID ? configuration_.entryID->rawValue : std::string();
  if (!group || !entry || !data || *group != configuration_.groupID.rawValue ||
      *entry != wantedEntry) {
    return std::nullopt;
  }
  return data;
}

void FileDownloader::writeResumeData(const std::string& resumeData) const {
  const auto& location = resumableDataLocation();
  base::JSONValue record = {
      {"groupID", configuration_.groupID.rawValue},
      {"entryID", configuration_.entryID ? configuration_.entryID->rawValue : std::string()},
      {"resumeData", resumeData},
  };
  auto temporary = location;
  temporary += "." + base::makeUuid();
  std::error_code ec = base::createPrivateDirectories(location.parent_path());
  if (!ec) ec = writePrivateFile(temporary, base::dumpJSON(record));
  if (!ec) std::filesystem::rename(temporary, location, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    discardResumeData(resumeData);
    configuration_.logger.error("Failed to write resumable data due to error " + ec.message(),
                                metadata());
  }
}

void FileDownloader::deleteResumeData() const {
  const auto& location = resumableDataLocation();
  std::error_code ec;
  if (!std::filesystem::exists(location, ec)) return;
  if (auto kept = readResumeData()) discardResumeData(*kept);
  if (!std::filesystem::remove(location, ec) && ec) {
    configuration_.logger.error("Failed to delete resumable data due to error " + ec.message(),
                                metadata());
  }
}

}  // namespace tarnix::fileprovider
