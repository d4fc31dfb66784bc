#include "platform/fileprovider/Error.hpp"

#include <utility>

namespace tarnix::platform::fileprovider {

namespace {

std::optional<std::string_view> knownDescription(std::string_view domain, std::int64_t code) {
  if (domain == kFileProviderErrorDomain) {
    switch (static_cast<FileProviderErrorCode>(code)) {
      case FileProviderErrorCode::notAuthenticated:
        return "You need to sign in to access this location.";
      case FileProviderErrorCode::filenameCollision:
        return "An item with the same name already exists.";
      case FileProviderErrorCode::syncAnchorExpired:
        return "The synchronization state has expired.";
      case FileProviderErrorCode::insufficientQuota:
        return "There is not enough space in the cloud.";
      case FileProviderErrorCode::serverUnreachable:
        return "The server cannot be reached.";
      case FileProviderErrorCode::noSuchItem:
        return "The item does not exist.";
      case FileProviderErrorCode::deletionRejected:
        return "The item cannot be deleted.";
      case FileProviderErrorCode::directoryNotEmpty:
        return "The folder is not empty.";
      case FileProviderErrorCode::cannotSynchronize:
        return "The location cannot be synchronized.";
      default:
        return std::nullopt;
    }
  }
  if (domain == kCocoaErrorDomain) {
    switch (static_cast<CocoaErrorCode>(code)) {
      case CocoaErrorCode::fileReadNoPermission:
        return "You do not have permission to read the file.";
      case CocoaErrorCode::userCancelled:
        return "The operation was cancelled.";
      case CocoaErrorCode::featureUnsupported:
        return "The requested operation is not supported.";
      case CocoaErrorCode::xpcConnectionReplyInvalid:
        return "Could not communicate with a helper application.";
      case CocoaErrorCode::coderReadCorrupt:
        return "The data is not in the correct format.";
    }
  }
  return std::nullopt;
}

}  // namespace

Error::Error(std::string domain, std::int64_t code, UserInfo userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

Error::Error(FileProviderErrorCode code, UserInfo userInfo)
    : Error(std::string(kFileProviderErrorDomain), static_cast<std::int64_t>(code),
            std::move(userInfo)) {}

Error::Error(CocoaErrorCode code, UserInfo userInfo)
    : Error(std::string(kCocoaErrorDomain), static_cast<std::int64_t>(code), std::move(userInfo)) {}

Error Error::forNonExistentItem(const ItemIdentifier& identifier) {
  return Error(FileProviderErrorCode::noSuchItem,
               {{std::string(kNonExistentItemIdentifierKey), identifier.rawValue()}});
}

Error Error::forRejectedDeletion(ItemPtr item) {
  UserInfo info;
  if (item) info.emplace(kItemKey, std::move(item));
  return Error(FileProviderErrorCode::deletionRejected, std::move(info));
}

Error Error::forCollision(ItemPtr item) {
  UserInfo info;
  if (item) info.emplace(kCollidingItemKey, std::move(item));
  return Error(FileProviderErrorCode::filenameCollision, std::move(info));
}

Error Error::unsupportedFeature() {
  return Error(CocoaErrorCode::featureUnsupported);
}

Error Error::wrapping(const Error& underlying) {
  UserInfo info;
  info.emplace(kUnderlyingErrorKey, std::make_shared<const Error>(underlying));
  info.emplace(kLocalizedDescriptionKey, underlying.localizedDescription());
  if (auto suggestion = underlying.localizedRecoverySuggestion()) {
    info.emplace(kLocalizedRecoverySuggestionKey, std::move(*suggestion));
  }
  return Error(CocoaErrorCode::xpcConnectionReplyInvalid, std::move(info));
}

Error Error::fromErrorCode(const std::error_code& error) {
  const auto& category = error.category();
  bool posix = category == std::system_category() || category == std::generic_category();
  return Error(posix ? std::string(base::ErrorDescription::kPOSIXErrorDomain) : category.name(),
               error.value(), {{std::string(kLocalizedDescriptionKey), error.message()}});
}

bool Error::is(std::string_view domain, std::int64_t code) const {
  return domain_ == domain && code_ == code;
}

bool Error::is(FileProviderErrorCode code) const {
  return is(kFileProviderErrorDomain, static_cast<std::int64_t>(code));
}

bool Error::is(CocoaErrorCode code) const {
  return is(kCocoaErrorDomain, static_cast<std::int64_t>(code));
}

std::shared_ptr<const Error> Error::underlyingError() const {
  auto it = userInfo_.find(kUnderlyingErrorKey);
  if (it == userInfo_.end()) return nullptr;
  if (auto* error = std::get_if<std::shared_ptr<const Error>>(&it->second)) return *error;
  return nullptr;
}

std::optional<std::string> Error::stringValue(std::string_view key) const {
  auto it = userInfo_.find(key);
  if (it == userInfo_.end()) return std::nullopt;
  if (auto* text = std::get_if<std::string>(&it->second)) return *text;
  return std::nullopt;
}

ItemPtr Error::itemValue(std::string_view key) const {
  auto it = userInfo_.find(key);
  if (it == userInfo_.end()) return nullptr;
  if (auto* item = std::get_if<ItemPtr>(&it->second)) return *item;
  return nullptr;
}

std::string Error::localizedDescription() const {
  if (auto text = stringValue(kLocalizedDescriptionKey)) return *text;
  if (auto reason = localizedFailureReason()) {
    return "The operation could not be completed. " + *reason;
  }
  if (auto known = knownDescription(domain_, code_)) return std::string(*known);
  return "The operation could not be completed. (" + domain_ + " error " + std::to_string(code_) +
         ".)";
}

std::optional<std::string> Error::localizedRecoverySuggestion() const {
  return stringValue(kLocalizedRecoverySuggestionKey);
}

std::optional<std::string> Error::localizedFailureReason() const {
  return stringValue(kLocalizedFailureReasonKey);
}

std::string Error::description() const {
  std::string text = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                     localizedDescription() + "\"";
  if (auto underlying = underlyingError()) {
    text += " Underlying=(" + underlying->description() + ")";
  }
  return text;
}

base::ErrorDescription errorDescription(const Error& error) {
  base::ErrorDescription description;
  description.domain = error.domain();
  description.code = error.code();
  for (const auto& [key, value] : error.userInfo()) {
    if (key == Error::kUnderlyingErrorKey) {
      if (auto* underlying = std::get_if<std::shared_ptr<const Error>>(&value);
          underlying && *underlying) {
        description.underlying =
            std::make_shared<const base::ErrorDescription>(errorDescription(**underlying));
        continue;
      }
    }
    std::visit(
        [&](const auto& v) {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, std::shared_ptr<const Error>>) {
            description.userInfo.set(key,
                                     v ? loggerMetadataValue(*v) : base::LoggerMetadataValue());
          } else if constexpr (std::is_same_v<V, ItemPtr>) {
            description.userInfo.set(key,
                                     v ? base::LoggerMetadataValue(v->itemIdentifier().rawValue())
                                       : base::LoggerMetadataValue());
          } else {
            description.userInfo.set(key, base::LoggerMetadataValue(v));
          }
        },
        value);
  }
  return description;
}

base::LoggerMetadataValue loggerMetadataValue(const Error& error) {
  return base::loggerMetadataValue(errorDescription(error));
}

}  // namespace tarnix::platform::fileprovider
