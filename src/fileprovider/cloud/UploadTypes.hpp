#pragma once
// The values that go into and come out of an upload.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/Date.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

/// The input of every upload.
struct CloudEntryUploadParams {
  /// The cloud version the new content was made from; sent so that the cloud keeps both when
  /// somebody else changed the file in the meantime.
  std::optional<common::CloudEntryIdentifier> baseContentVersion;
  std::optional<base::Date> contentModificationDate;
  std::optional<base::Date> cfsContentModificationDateOverride;
  std::int64_t contentSize = 0;
  /// A private snapshot of the content, owned by the caller and left unchanged until the upload
  /// completes; never the live file, which may change under the upload.
  std::filesystem::path contentsURL;
  std::optional<std::string> lockToken;
  /// Hears how many bytes the cloud has acknowledged so far (after each chunk, and once at
  /// the end). Called on the upload's queue.
  std::function<void(std::int64_t completedBytes)> progress;

  /// The date sent to the cloud: the override when present.
  std::optional<base::Date> cfsModificationDate() const {
    return cfsContentModificationDateOverride ? cfsContentModificationDateOverride
                                              : contentModificationDate;
  }
};

/// Progress of one upload.
struct UploadInfo {
  std::int64_t contentSize = 0;
  std::string filePath;
  std::string driveIdentifier;
  std::int64_t completedUploadBytes = 0;

  /// {"contentSize", "filePath", "driveIdentifier", "completedUploadBytes"}.
  std::string json() const;
  bool operator==(const UploadInfo&) const = default;
};

using UploadProgressHandler = std::function<void(const UploadInfo&)>;

/// Posted (distributed) with an UploadInfo as JSON while an upload runs.
inline constexpr const char* kFileUploadProgressNotification = "com.tarnix.fileUploadProgress";
/// Posted (distributed) with an UploadCompletedEvent as JSON when an upload has ended.
inline constexpr const char* kFileUploadCompletedNotification = "com.tarnix.fileUploadCompleted";

/// The end of one upload, for the desktop application.
struct UploadCompletedEvent {
  /// The file's cloud path.
  std::string location;
  std::string driveIdentifier;
  bool successful = false;

  /// {"location", "driveIdentifier", "successful"}.
  std::string json() const;
  bool operator==(const UploadCompletedEvent&) const = default;
};

enum class ChunkUploadError { unableToReadChunk, unableToPrepareChunk, checksumMismatch };

/// What a successful upload made on the cloud.
struct CloudEntryUploadOutput {
  common::CloudGroupIdentifier itemIdentifier;
  std::string filename;
  common::CloudEntryIdentifier contentVersion;
  std::optional<std::string> contentChecksum;
  base::Date uploadDate{};
  std::optional<base::Date> contentModificationDate;
  std::optional<std::string> author;
  /// The cloud kept the content under another name (`filename`): another version had replaced
  /// the base in the meantime.
  bool didCreateConflict = false;
  /// Nothing was sent: the cloud already held this content from an earlier attempt.
  bool wasAlreadyUploaded = false;
};

}  // namespace tarnix::fileprovider
