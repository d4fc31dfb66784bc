#pragma once
// A cloud response as CloudFSSession hands it over: the HTTP head and the body or the
// downloaded file's size.

#include <cstdint>
#include <optional>
#include <string>

#include "cloudfs/URLRequest.hpp"

namespace tarnix::cloudfs {

struct CloudFSResponse {
  HTTPURLResponse httpResponse;
  std::optional<std::string> body;
  /// Set for file downloads.
  std::optional<std::int64_t> downloadedFileSize;
};

}  // namespace tarnix::cloudfs
