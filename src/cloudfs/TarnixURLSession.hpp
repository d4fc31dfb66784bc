#pragma once
// The HTTP transport of all cloud traffic.
//
// Every transfer of the process runs on one network thread (libcurl's multi interface).
// A TarnixURLSession stamps each request with the client's identification headers, picks the
// transfer configuration ("platform session") cached for the request's options, and delivers
// each completion exactly once on its delegate queue "com.tarnix.URLSession.delegate".
//
// Transfer configurations: at most 10 connections per host, no HTTP cache, TLS verification
// always on (the file named by TARNIX_CA_FILE adds a trusted certificate authority), the proxy
// of the proxy settings. A change of the proxy settings drops the cached configurations once;
// transfers already running finish with the configuration they started with.
//
// Thread safety: every public member may be called from any thread, except that a session must
// not be destroyed from its own delegate queue.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/Logger.hpp"
#include "cloudfs/TarnixURLError.hpp"
#include "cloudfs/TarnixUserAgent.hpp"
#include "cloudfs/URLError.hpp"
#include "cloudfs/URLRequest.hpp"
#include "common/DesktopAppGroupPreferences.hpp"

namespace tarnix::base {
class DispatchQueue;
}

namespace tarnix::cloudfs {

namespace detail {
class Transfer;
struct PlatformSession;
}  // namespace detail

struct TarnixURLRequestOptions {
  int rawValue = 0;

  static constexpr int kRejectRedirects = 1;
  static constexpr int kExtendedTimeout = 2;
  static TarnixURLRequestOptions none() { return {0}; }
  /// Redirects come back as the 3xx response instead of being followed.
  static TarnixURLRequestOptions rejectRedirects() { return {kRejectRedirects}; }
  /// Transfers may stay without progress for up to 300 seconds.
  static TarnixURLRequestOptions extendedTimeout() { return {kExtendedTimeout}; }

  bool contains(TarnixURLRequestOptions other) const {
    return (rawValue & other.rawValue) == other.rawValue;
  }
  TarnixURLRequestOptions operator|(TarnixURLRequestOptions other) const {
    return {rawValue | other.rawValue};
  }
  auto operator<=>(const TarnixURLRequestOptions&) const = default;
};

/// A failed transfer: a transport failure, or a response that is not HTTP
/// (`TarnixURLError::Kind::badServerResponse`).
using URLSessionError = std::variant<URLError, TarnixURLError>;
std::string describe(const URLSessionError& error);
/// True for a transfer that was cancelled.
bool isCancellation(const URLSessionError& error);

struct URLSessionDataResult {
  HTTPURLResponse response;
  std::string body;
};

struct URLSessionDownloadResult {
  HTTPURLResponse response;
  /// A file in the session's download folder holding the body; the receiver owns it and must
  /// move or remove it.
  std::filesystem::path location;
  std::int64_t fileSize = 0;
};

struct URLSessionProgress {
  std::int64_t bytesSent = 0;
  /// -1 when unknown.
  std::int64_t totalBytesExpectedToSend = -1;
  std::int64_t bytesReceived = 0;
  /// -1 when unknown.
  std::int64_t totalBytesExpectedToReceive = -1;
};

/// One transfer. Made suspended; `resume` starts it. Its completion runs exactly once, on the
/// session's delegate queue, also when it is cancelled.
class URLSessionTask {
 public:
  enum class State { suspended, running, canceling, completed };

  explicit URLSessionTask(std::shared_ptr<detail::Transfer> transfer);
  ~URLSessionTask();

  std::uint64_t taskIdentifier() const;
  /// The request as sent, with the headers the session added.
  const URLRequest& currentRequest() const;
  State state() const;

  void resume();
  /// Ends the transfer; its completion gets `URLError::Code::cancelled`. Nothing happens after
  /// the completion has run.
  void cancel();
  /// Download tasks: cancels and hands the data needed to continue later (none when the server
  /// gave no validator or nothing was received yet) to `handler`, on the delegate queue.
  void cancelByProducingResumeData(std::function<void(std::optional<std::string>)> handler);
  /// Called on the delegate queue as bytes move; set it before `resume`.
  void setProgressHandler(std::function<void(const URLSessionProgress&)> handler);

 private:
  std::shared_ptr<detail::Transfer> transfer_;
};

/// What resume data says about the partly downloaded file it continues. Resume data holds no
/// credentials.
struct URLSessionResumeInfo {
  std::filesystem::path file;
  /// Bytes already in `file` (where the next request starts).
  std::int64_t offset = 0;
};
/// None when `resumeData` is not resume data of this transport or its file is gone.
std::optional<URLSessionResumeInfo> inspectResumeData(std::string_view resumeData);

/// The most bytes of a response body held in memory (after decoding its content encoding).
/// The largest answers are folder listings: a child takes about 310 bytes with a short name and
/// about 550 with a name of 255 bytes, so a folder of a million children fits with room for
/// longer or escaped names. Downloads go to files and have no such limit.
inline constexpr std::size_t kMaximumResponseBodySize = std::size_t{1} << 30;

/// Host mappings ("HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT") from a list separated by commas
/// or white space.
std::vector<std::string> hostMappingsFromText(std::string_view text);
/// For a cloud on this machine ("localhost" with or without a port): the mapping that sends the
/// sync back end's name ("sync-localhost") to the loopback address, so that it is reached
/// without any name service. None for every other host.
std::optional<std::string> loopbackSyncBackendMapping(std::string_view domain);

class TarnixURLSession {
 public:
  struct Configuration {
    /// PEM file of certificate authorities trusted besides the system's (TARNIX_CA_FILE).
    std::optional<std::filesystem::path> additionalCAFile;
    /// Where download tasks write their files.
    std::filesystem::path downloadDirectory;
    /// A larger body held in memory fails with `URLError::Code::dataLengthExceedsMaximum`.
    std::size_t maximumBodySize = kMaximumResponseBodySize;
    /// Where to connect for a host and port, instead of what the host name resolves to, each
    /// "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT" (empty parts keep the original). The
    /// server is still verified under the name the URL has.
    std::vector<std::string> hostMappings;

    /// The process's settings: TARNIX_CA_FILE when set, the host mappings of
    /// TARNIX_CONNECT_TO (separated by commas or white space), the system's temporary folder.
    static Configuration fromEnvironment();
  };

  using DataCompletion = std::function<void(std::expected<URLSessionDataResult, URLSessionError>)>;
  using DownloadCompletion =
      std::function<void(std::expected<URLSessionDownloadResult, URLSessionError>)>;

  /// `appLifecycleID` goes into every request as "X-Tarnix-Application-Lifecycle-Trace".
  /// The proxy comes from `preferences` (none: no proxy) and follows its changes; the
  /// preferences must outlive the session.
  TarnixURLSession(base::Logger logger, TarnixUserAgent userAgent, std::string appLifecycleID,
                   std::shared_ptr<const common::DesktopAppGroupPreferences> preferences,
                   Configuration configuration = Configuration::fromEnvironment());
  /// Cancels the transfers still running and waits until their completions have run.
  ~TarnixURLSession();

  /// Ends the session's work now, as its destruction would: the transfers still running are
  /// cancelled and their completions have run when this returns (unless called on the
  /// delegate queue, where it cannot wait). Tasks made afterwards complete with
  /// `URLError::Code::cancelled` and send nothing. Idempotent.
  void invalidateAndCancel();
  TarnixURLSession(const TarnixURLSession&) = delete;
  TarnixURLSession& operator=(const TarnixURLSession&) = delete;

  const TarnixUserAgent& userAgent() const;

  /// The body in memory. The request's own body, if any, is sent.
  std::shared_ptr<URLSessionTask> dataTask(URLRequest request, TarnixURLRequestOptions options,
                                           DataCompletion completion);
  /// The body into a new file of the download folder.
  std::shared_ptr<URLSessionTask> downloadTask(URLRequest request, TarnixURLRequestOptions options,
                                               DownloadCompletion completion);
  /// Goes on with a download from the data of `cancelByProducingResumeData` or of a failed
  /// download's `URLError::resumeData`, with the plain configuration. The request is sent as it
  /// was, asking for the missing range, except for its credentials, which resume data never
  /// holds: `authorize` (may be empty) sets the server's afresh, and the proxy's come from the
  /// current settings. A server that answers with the whole body starts over.
  std::shared_ptr<URLSessionTask> downloadTask(std::string resumeData,
                                               std::function<void(URLRequest&)> authorize,
                                               DownloadCompletion completion);
  /// Sends `body` (replacing the request's body).
  std::shared_ptr<URLSessionTask> uploadTask(URLRequest request, std::string body,
                                             TarnixURLRequestOptions options,
                                             DataCompletion completion);
  /// Sends the file's contents, read in small blocks as the transfer goes.
  std::shared_ptr<URLSessionTask> uploadTask(URLRequest request, std::filesystem::path file,
                                             TarnixURLRequestOptions options,
                                             DataCompletion completion);
  /// A resumed data task whose result the future gives.
  std::future<std::expected<URLSessionDataResult, URLSessionError>> data(
      URLRequest request, TarnixURLRequestOptions options);

  /// How many transfer configurations have been made so far (one per option set and proxy).
  int platformSessionsCreated() const;

  /// What a connection made outside this transport (the event WebSocket) needs to reach a
  /// server as the transfers do: the certificate authorities trusted besides the system's (PEM,
  /// none when there are none), the host mappings and the current proxy settings.
  struct ConnectionSettings {
    std::shared_ptr<const std::string> additionalCAs;
    std::vector<std::string> hostMappings;
    common::URLSessionProxyConfiguration proxy;
  };
  /// Stamps `request` with the client's identification headers (never with proxy credentials,
  /// which go to the proxy alone) and returns the settings to connect with.
  ConnectionSettings prepareConnection(URLRequest& request) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarnix::cloudfs
