#include "base/ErrorDescription.hpp"

namespace tarnix::base {

ErrorDescription ErrorDescription::fromErrorCode(const std::error_code& error) {
  ErrorDescription description;
  const auto& category = error.category();
  bool posix = category == std::system_category() || category == std::generic_category();
  description.domain = posix ? std::string(kPOSIXErrorDomain) : std::string(category.name());
  description.code = error.value();
  description.userInfo.set(kLocalizedDescriptionKey, LoggerMetadataValue(error.message()));
  return description;
}

LoggerMetadataValue loggerMetadataValue(const ErrorDescription& error) {
  LoggerMetadata dictionary;
  dictionary.set("domain", LoggerMetadataValue(error.domain));
  dictionary.set("code", LoggerMetadataValue(error.code));
  if (error.underlying) dictionary.set("underlying", loggerMetadataValue(*error.underlying));

  LoggerMetadata userInfo = error.userInfo;
  std::optional<std::string> description;
  auto take = [&userInfo](std::string_view key) -> std::optional<std::string> {
    auto value = userInfo.get(key);
    userInfo.set(key, std::nullopt);
    if (value && value->asString()) return *value->asString();
    return std::nullopt;
  };
  auto debugDescription = take(ErrorDescription::kDebugDescriptionKey);
  auto localizedDescription = take(ErrorDescription::kLocalizedDescriptionKey);
  auto failureReason = take(ErrorDescription::kLocalizedFailureReasonKey);
  if (debugDescription) {
    description = debugDescription;
  } else if (localizedDescription) {
    description = localizedDescription;
  } else if (failureReason) {
    description = "The operation could not be completed. " + *failureReason;
  }
  if (!userInfo.empty()) dictionary.set("userInfo", LoggerMetadataValue(std::move(userInfo)));

  if (!description) return LoggerMetadataValue(std::move(dictionary));
  return LoggerMetadataValue(LoggerMetadataValue::Array{
      LoggerMetadataValue(std::move(*description)), LoggerMetadataValue(std::move(dictionary))});
}

}  // namespace tarnix::base
