#pragma once
// How a download turns a failure into the error its caller sees: its owner's mapping of
// statuses and transport failures.

#include <functional>

#include "base/Logger.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "common/SyncError.hpp"
#include "fileprovider/cloud/SyncCloudError.hpp"

namespace tarnix::fileprovider {

struct DownloadErrorHandler {
  /// The error of an answer that was refused for its status (its body, up to 64 KiB, is in
  /// the response).
  std::function<common::SyncError(const cloudfs::CloudFSResponse&)> forStatus;
  /// The error of a transport failure.
  std::function<SyncCloudError(const cloudfs::CloudFSSessionError&)> forTransport;

  /// The error a download ends with after the transport failure `error`: a failure of the
  /// server's (see isServerBreakOff) is handed on as it is and logged "Download broke off", so
  /// that it never passes for an unreachable server; any other goes through `forTransport`.
  SyncCloudError endingTransportFailure(const cloudfs::CloudFSSessionError& error,
                                        bool serverAnswered, const base::Logger& logger,
                                        base::LoggerMetadata metadata) const;
};

/// The failure of a download ended here rather than by the transport: cancelled between
/// attempts, or its file could not be kept.
SyncCloudError downloadCancelled();
SyncCloudError downloadNotKept();

/// Whether a transport failure is the server's rather than the network's: the connection broke
/// off (so there was one), or it timed out after the server had answered this download.
bool isServerBreakOff(const cloudfs::CloudFSSessionError& error, bool serverAnswered);

}  // namespace tarnix::fileprovider
