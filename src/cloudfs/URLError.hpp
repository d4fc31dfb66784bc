#pragma once
// Transport failures, with the codes of the platform's URL error domain, so that callers can
// tell a cancellation (-999) or an unreachable host from other failures.

#include <optional>
#include <string>

namespace tarnix::cloudfs {

struct URLError {
  static constexpr const char* domain = "NSURLErrorDomain";

  enum class Code : int {
    unknown = -1,
    cancelled = -999,
    badURL = -1000,
    timedOut = -1001,
    unsupportedURL = -1002,
    cannotFindHost = -1003,
    cannotConnectToHost = -1004,
    networkConnectionLost = -1005,
    httpTooManyRedirects = -1007,
    resourceUnavailable = -1008,
    notConnectedToInternet = -1009,
    badServerResponse = -1011,
    userAuthenticationRequired = -1013,
    cannotDecodeContentData = -1016,
    cannotParseResponse = -1017,
    /// A redirect to a plain "http" URL, which is never followed.
    appTransportSecurityRequiresSecureConnection = -1022,
    fileDoesNotExist = -1100,
    /// A response body held in memory grew past the session's limit.
    dataLengthExceedsMaximum = -1103,
    secureConnectionFailed = -1200,
    serverCertificateUntrusted = -1202,
    cannotCreateFile = -3000,
    cannotOpenFile = -3001,
    cannotWriteToFile = -3003,
  };

  Code code = Code::unknown;
  /// What went wrong, for logs (never carries credentials).
  std::string message;
  /// For a download that stopped part-way: what `downloadTask(resumeData:)` needs to go on.
  std::optional<std::string> resumeData;

  int rawCode() const { return static_cast<int>(code); }
  bool isCancelled() const { return code == Code::cancelled; }
  /// The host could not be reached at all (no route, refused, name unknown, timed out, lost).
  bool isConnectivityFailure() const;
  std::string description() const;
};

}  // namespace tarnix::cloudfs
