#pragma once
// Answers of folder creation, service discovery and the sync back end's precheck, and the
// error bodies the cloud sends with failures.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/CloudFSResponse.hpp"

namespace tarnix::cloudfs {

struct CreateFolderResponse {
  std::string folderID;  // "folder_id"
  std::string path;

  static std::expected<CreateFolderResponse, CloudFSError> decode(const CloudFSResponse& response);
};

struct IfflPrecheckResponse {
  bool ifflCandidate = false;       // "iffl_candidate"
  std::int64_t globalRevision = 0;  // "global_revision_id"

  static std::expected<IfflPrecheckResponse, CloudFSError> decode(const CloudFSResponse& response);
};

struct ServiceDiscoveryResponse {
  /// Seconds until the discovery should be asked again ("refreshInterval").
  double refreshInterval = 0;
  /// "events"."url": where the real-time event socket connects.
  std::optional<std::string> eventsServer;

  static std::expected<ServiceDiscoveryResponse, CloudFSError> decode(
      const CloudFSResponse& response);
};

/// An error body ("vnd.tarnix.error"). Read leniently: members that are absent or of another
/// type stay empty, and a body that is not JSON gives an empty value.
struct CloudFSErrorResponse {
  struct InputError {
    std::string name;
    std::string code;
    bool operator==(const InputError&) const = default;
  };

  std::optional<std::string> errorMessage;
  std::optional<std::string> message;
  std::vector<InputError> inputErrors;
  /// "code", as text (numbers are written in decimal).
  std::optional<std::string> code;
  std::vector<std::string> allowedFilenameExtensions;
  /// The "X-Tarnix-ErrorCode" header of the response.
  std::optional<CloudFSErrorCode> errorCode;

  static CloudFSErrorResponse parse(const CloudFSResponse& response);
};

}  // namespace tarnix::cloudfs
