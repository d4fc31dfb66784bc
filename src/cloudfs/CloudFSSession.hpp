#pragma once
// One drive's gateway to the cloud REST API: turns request values into HTTPS requests on the
// drive's host, stamps them with a fresh request id and the drive's credentials, sends them
// through the shared TarnixURLSession and delivers every completion on the session's own
// serial queue "com.tarnix.CloudFSSession".
//
// Thread safety: every member may be called from any thread. Completions run exactly once, on
// `callbackQueue()`, also when the request could not be built (then asynchronously).

#include <expected>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/CloudFSRequestPrototype.hpp"
#include "cloudfs/CloudFSResponse.hpp"
#include "cloudfs/TarnixURLSession.hpp"
#include "common/Drive.hpp"

namespace tarnix::cloudfs {

struct CloudFSSessionConfiguration {
  struct Authentication {
    enum class Kind { basic, oauth };
    Kind kind = Kind::oauth;
    std::string userName;     // basic
    std::string password;     // basic
    std::string accessToken;  // oauth

    static Authentication basic(std::string userName, std::string password) {
      return {Kind::basic, std::move(userName), std::move(password), {}};
    }
    static Authentication oauth(std::string accessToken) {
      return {Kind::oauth, {}, {}, std::move(accessToken)};
    }
    bool operator==(const Authentication&) const = default;
  };

  /// The drive's cloud host (optionally with ":port").
  std::string domain;
  /// None: requests carry no "Authorization".
  std::optional<Authentication> authentication;

  /// The drive's host (or `domain`) and its stored credentials: none stays none, OAuth tokens
  /// give `oauth(accessToken)`, a basic password gives `basic(drive's userName, password)`.
  static CloudFSSessionConfiguration forDrive(const common::Drive& drive,
                                              std::optional<std::string> domain = std::nullopt);
};

/// A sent request: the transfer (none when the request could not be built) and the
/// "X-Tarnix-Request-Id" it carries.
struct CloudFSSessionTask {
  std::shared_ptr<URLSessionTask> urlSessionTask;
  std::optional<std::string> requestId;

  /// Cancels the transfer; its completion gets the cancellation error.
  void cancel() const {
    if (urlSessionTask) urlSessionTask->cancel();
  }
};

/// A transport failure, a response that is not HTTP, or a request that could not be built.
using CloudFSSessionError = std::variant<URLError, TarnixURLError, CloudFSError>;
std::string describe(const CloudFSSessionError& error);
bool isCancellation(const CloudFSSessionError& error);

struct CloudFSDownload {
  CloudFSResponse response;  // `downloadedFileSize` is set
  /// The downloaded body; the receiver owns the file.
  std::filesystem::path location;
};

class CloudFSSession {
 public:
  using Completion = std::function<void(std::expected<CloudFSResponse, CloudFSSessionError>)>;
  using DownloadCompletion =
      std::function<void(std::expected<CloudFSDownload, CloudFSSessionError>)>;

  CloudFSSession(std::shared_ptr<TarnixURLSession> urlSession,
                 CloudFSSessionConfiguration configuration, base::Logger logger);

  const CloudFSSessionConfiguration& configuration() const { return configuration_; }
  const std::shared_ptr<base::DispatchQueue>& callbackQueue() const { return callbackQueue_; }
  const std::shared_ptr<TarnixURLSession>& urlSession() const { return urlSession_; }

  /// The request on `domain` (the configuration's when none).
  std::expected<URLRequest, CloudFSError> urlRequest(
      const CloudFSRequestPrototype& request,
      std::optional<std::string> domain = std::nullopt) const;
  /// Sets a new lower-case "X-Tarnix-Request-Id" and the "Authorization" of the configuration;
  /// returns the request id.
  std::string authorize(URLRequest& request) const;

  /// The body in memory.
  CloudFSSessionTask send(const CloudFSRequestPrototype& request, TarnixURLRequestOptions options,
                          Completion completion);
  /// The body into a file of the transport's download folder.
  CloudFSSessionTask download(const CloudFSRequestPrototype& request,
                              TarnixURLRequestOptions options, DownloadCompletion completion);
  /// Goes on with a download from its resume data, authorised afresh (a new request id and
  /// this session's credentials).
  CloudFSSessionTask download(std::string resumeData, DownloadCompletion completion);
  /// Sends `body` in place of the request's own body.
  CloudFSSessionTask upload(const CloudFSRequestPrototype& request, std::string body,
                            TarnixURLRequestOptions options, Completion completion);
  /// Streams the file's contents as the body.
  CloudFSSessionTask upload(const CloudFSRequestPrototype& request, std::filesystem::path file,
                            TarnixURLRequestOptions options, Completion completion);
  /// The body and the response head, when they arrive.
  std::future<std::expected<std::pair<std::string, HTTPURLResponse>, CloudFSSessionError>> data(
      const CloudFSRequestPrototype& request, TarnixURLRequestOptions options);

 private:
  template <class Result, class Start>
  CloudFSSessionTask start(
      const CloudFSRequestPrototype& request,
      std::function<void(std::expected<Result, CloudFSSessionError>)> completion, Start startTask);

  std::shared_ptr<TarnixURLSession> urlSession_;
  CloudFSSessionConfiguration configuration_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> callbackQueue_;
};

/// The only maker of CloudFSSession values; one per provider instance.
class CloudFSSessionFactory {
 public:
  CloudFSSessionFactory(std::shared_ptr<TarnixURLSession> urlSession, base::Logger logger)
      : urlSession_(std::move(urlSession)), logger_(std::move(logger)) {}

  std::shared_ptr<CloudFSSession> makeSession(CloudFSSessionConfiguration configuration) const {
    return std::make_shared<CloudFSSession>(urlSession_, std::move(configuration), logger_);
  }
  /// A session on the drive's host with the drive's credentials.
  std::shared_ptr<CloudFSSession> makeSession(const common::Drive& drive) const {
    return makeSession(CloudFSSessionConfiguration::forDrive(drive));
  }
  /// The same on another host.
  std::shared_ptr<CloudFSSession> makeSession(const common::Drive& drive,
                                              std::string domain) const {
    return makeSession(CloudFSSessionConfiguration::forDrive(drive, std::move(domain)));
  }

  const std::shared_ptr<TarnixURLSession>& urlSession() const { return urlSession_; }

 private:
  std::shared_ptr<TarnixURLSession> urlSession_;
  base::Logger logger_;
};

}  // namespace tarnix::cloudfs
