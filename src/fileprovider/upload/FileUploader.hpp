#pragma once
// Uploads a whole file in one request ("/api/v1/fs-content"), streamed from the file.
//
// Threads: any thread may call; the completion runs on the session's callback queue.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "base/Clock.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"
#include "fileprovider/upload/UploadNetworkStatsCollector.hpp"

namespace tarnix::fileprovider {

class FileUploader {
 public:
  FileUploader(std::shared_ptr<SyncCloudClient> cloudClient,
               std::shared_ptr<UploadNetworkStatsCollector> networkStats,
               std::shared_ptr<base::Clock> clock = base::Clock::system());

  /// Sends the file at `filePath` to `cloudPath` with the entry's base version, date and lock
  /// token and the whole file's checksum; completes with the cloud's answer, whatever its status.
  cloudfs::CloudFSSessionTask uploadFile(const std::filesystem::path& filePath,
                                         const std::string& cloudPath,
                                         const CloudEntryUploadParams& entryParams,
                                         std::optional<std::string> sha512Checksum,
                                         cloudfs::CloudFSSession::Completion completionHandler);

 private:
  std::shared_ptr<SyncCloudClient> cloudClient_;
  std::shared_ptr<UploadNetworkStatsCollector> networkStats_;
  std::shared_ptr<base::Clock> clock_;
};

}  // namespace tarnix::fileprovider
