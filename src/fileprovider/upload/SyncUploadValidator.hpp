#pragma once
// Checks a file's name, size and type before it is uploaded, against rules built from the
// drive's cloud configuration (maximum size, excluded extensions) and fixed name rules.
//
// Thread-safe: the rules are read and replaced only on the serial queue
// "com.tarnix.SyncUploadValidator".

#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "common/CloudConfiguration.hpp"
#include "common/DriveConfigurationProvider.hpp"
#include "common/SyncError.hpp"

namespace tarnix::fileprovider {

struct UploadValidationRules {
  std::optional<std::int64_t> maxFileSize;
  /// Lower case, without the dot.
  std::vector<std::string> excludedFilenameExtensions;
  /// Content types that are never uploaded.
  std::vector<std::string> unsupportedContentTypes;
  /// Characters a name must not contain.
  std::u32string prohibitedCharacters;
  std::regex dotsAndSpaceRegex;

  static UploadValidationRules make(const common::CloudConfiguration& configuration);
};

/// The content type of alias files and of symbolic links.
inline constexpr const char* kAliasFileContentType = "com.apple.alias-file";
inline constexpr const char* kSymbolicLinkContentType = "public.symlink";

/// The first rule that refuses (filename, content size, content type), or none.
std::optional<common::UploadRejectionReason> validateUpload(
    const UploadValidationRules& rules, const std::string& filename, std::int64_t contentSize,
    const std::optional<std::string>& contentType);

class SyncUploadValidator : public std::enable_shared_from_this<SyncUploadValidator> {
 public:
  /// Without a provider the rules come from the default configuration.
  explicit SyncUploadValidator(
      std::shared_ptr<common::DriveConfigurationProvider> configurationProvider);
  /// Follows the configuration's changes until `stop`.
  void start();
  void stop();

  std::optional<common::UploadRejectionReason> validate(
      const std::string& filename, std::int64_t contentSize,
      const std::optional<std::string>& contentType = std::nullopt);

 private:
  std::shared_ptr<common::DriveConfigurationProvider> configurationProvider_;
  std::shared_ptr<base::DispatchQueue> serialQueue_;
  std::shared_ptr<void> subscription_;
  UploadValidationRules rules_;
};

}  // namespace tarnix::fileprovider
