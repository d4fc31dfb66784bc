#pragma once
// A plain description of an error object (domain, code, user info, underlying error), the shape
// in which errors are written into log metadata. Higher layers convert their errors into it.

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "base/LoggerMetadata.hpp"

namespace tarnix::base {

struct ErrorDescription {
  /// User-info keys with a meaning of their own.
  static constexpr std::string_view kDebugDescriptionKey = "NSDebugDescription";
  static constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
  static constexpr std::string_view kLocalizedFailureReasonKey = "NSLocalizedFailureReason";
  static constexpr std::string_view kPOSIXErrorDomain = "NSPOSIXErrorDomain";

  std::string domain;
  std::int64_t code = 0;
  LoggerMetadata userInfo;
  std::shared_ptr<const ErrorDescription> underlying;

  /// An errno-style error: domain "NSPOSIXErrorDomain" for system errors (else the category
  /// name), its value, and its message as the localized description.
  static ErrorDescription fromErrorCode(const std::error_code& error);
};

/// The metadata value of an error: a dictionary of "domain", "code", "underlying" (when there is
/// an underlying error, rendered the same way) and "userInfo" (the user-info entries left after
/// taking out the description). The description is the debug description, else the localized
/// description, else "The operation could not be completed. " + the failure reason. With a
/// description the value is the array [description, dictionary], without it the dictionary.
LoggerMetadataValue loggerMetadataValue(const ErrorDescription& error);

}  // namespace tarnix::base
