#pragma once
// One libcurl transfer: its easy handle, the bytes going out and coming in, and its single
// completion. Built on the caller's thread, driven on the network thread.

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "cloudfs/TarnixURLSession.hpp"
#include "common/URLSessionProxyConfiguration.hpp"

namespace tarnix::cloudfs::detail {

class NetworkThread;

/// A cached transfer configuration: what every transfer made with it shares.
struct PlatformSession {
  TarnixURLRequestOptions options;
  common::URLSessionProxyConfiguration proxy;
  /// PEM text of the additional certificate authorities, or null.
  std::shared_ptr<const std::string> additionalCAs;
  /// curl's "connect to" mappings (see TarnixURLSession::Configuration::hostMappings).
  std::vector<std::string> hostMappings;
  /// Seconds without progress; none: each request's own time-out.
  std::optional<double> requestTimeout;
  std::atomic<bool> invalidated{false};
};

/// Where to go on with a download (the text of resume data). The request is kept without its
/// "Authorization" and "Proxy-Authorization".
struct ResumeState {
  URLRequest request;
  std::filesystem::path file;
  std::string validator;

  std::string encoded() const;
  static std::optional<ResumeState> decode(std::string_view text);
};

struct TransferResult {
  HTTPURLResponse response;
  std::string body;
  std::optional<std::filesystem::path> file;
  std::int64_t fileSize = 0;
};
using TransferOutcome = std::expected<TransferResult, URLSessionError>;

struct TransferSetup {
  URLRequest request;
  std::shared_ptr<const PlatformSession> session;
  std::shared_ptr<base::DispatchQueue> delegateQueue;
  /// Entered when the transfer starts, left after its completion has run.
  std::shared_ptr<base::DispatchGroup> inFlight;
  std::weak_ptr<NetworkThread> networkThread;
  base::Logger logger = base::Logger::null();
  /// The body to send: none, bytes, or a file read as the transfer goes.
  std::variant<std::monostate, std::string, std::filesystem::path> upload;
  bool download = false;
  std::filesystem::path downloadDirectory;
  /// The most bytes of a body kept in memory (not a download's).
  std::size_t maximumBodySize = kMaximumResponseBodySize;
  std::optional<ResumeState> resume;
  std::function<void(TransferOutcome)> completion;
};

class Transfer : public std::enable_shared_from_this<Transfer> {
 public:
  explicit Transfer(TransferSetup setup);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  std::uint64_t identifier() const { return identifier_; }
  const URLRequest& request() const { return setup_.request; }
  URLSessionTask::State state() const;

  // Any thread.
  void resume();
  void cancel(std::function<void(std::optional<std::string>)> resumeDataHandler = {});
  void setProgressHandler(std::function<void(const URLSessionProgress&)> handler);

  // Network thread only.
  /// Makes the easy handle; on failure the transfer has completed with the error.
  CURL* start();
  /// The handle finished with `code` (removed from the multi handle already).
  void finish(CURLcode code);
  /// The transfer was taken off the multi handle because it was cancelled.
  void finishCancelled();

 private:
  static std::size_t onHeader(char* buffer, std::size_t size, std::size_t count, void* self);
  static std::size_t onWrite(char* buffer, std::size_t size, std::size_t count, void* self);
  static std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* self);
  static int onProgress(void* self, curl_off_t downloadTotal, curl_off_t downloaded,
                        curl_off_t uploadTotal, curl_off_t uploaded);
  static CURLcode onSSLContext(CURL* curl, void* sslContext, void* self);

  std::optional<URLError> configureHandle();
  std::optional<URLError> openDownloadFile();
  bool prepareDownloadWrite();
  void complete(TransferOutcome outcome);
  std::optional<std::string> makeResumeData();
  /// Redirects followed so far.
  long redirectCount() const;
  void closeFiles();

  const std::uint64_t identifier_;
  TransferSetup setup_;

  // The life-cycle state and the handlers other threads set.
  mutable base::Mutex mutex_;
  URLSessionTask::State state_ TARNIX_GUARDED_BY(mutex_) = URLSessionTask::State::suspended;
  std::function<void(const URLSessionProgress&)> progressHandler_ TARNIX_GUARDED_BY(mutex_);
  std::function<void(std::optional<std::string>)> resumeDataHandler_ TARNIX_GUARDED_BY(mutex_);

  // Network thread only.
  CURL* easy_ = nullptr;
  curl_slist* headerList_ = nullptr;
  curl_slist* proxyHeaderList_ = nullptr;
  curl_slist* connectToList_ = nullptr;
  HTTPURLResponse response_;
  std::string body_;
  std::FILE* uploadFile_ = nullptr;
  std::size_t uploadOffset_ = 0;
  std::FILE* downloadFile_ = nullptr;
  std::filesystem::path downloadPath_;
  std::int64_t resumeOffset_ = 0;
  bool downloadWriteStarted_ = false;
  std::optional<URLError> callbackError_;
  URLSessionProgress lastProgress_;
  bool completed_ = false;
  char errorBuffer_[CURL_ERROR_SIZE] = {0};
};

}  // namespace tarnix::cloudfs::detail
