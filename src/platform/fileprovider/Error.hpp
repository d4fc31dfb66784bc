#pragma once
// The error value handed across the framework boundary: a domain, a code and a user-info
// dictionary that may hold an underlying error, texts for the user and items. The framework's
// own domain and the Cocoa codes the extension answers with are named here, as are the
// constructors the framework offers for missing items, rejected deletions and collisions.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include "base/ErrorDescription.hpp"
#include "base/LoggerMetadata.hpp"
#include "platform/fileprovider/Item.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"

namespace tarnix::platform::fileprovider {

inline constexpr std::string_view kFileProviderErrorDomain = "NSFileProviderErrorDomain";
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";

/// Codes of kFileProviderErrorDomain, with the framework's values.
enum class FileProviderErrorCode : std::int64_t {
  notAuthenticated = -1000,
  filenameCollision = -1001,
  syncAnchorExpired = -1002,
  pageExpired = -1002,
  insufficientQuota = -1003,
  serverUnreachable = -1004,
  noSuchItem = -1005,
  deletionRejected = -1006,
  directoryNotEmpty = -1007,
  providerNotFound = -2001,
  providerTranslocated = -2002,
  olderExtensionVersionRunning = -2003,
  newerExtensionVersionFound = -2004,
  cannotSynchronize = -2005,
  nonEvictableChildren = -2006,
  unsyncedEdits = -2007,
  nonEvictable = -2008,
  versionNoLongerAvailable = -2009,
  excludedFromSync = -2010,
  domainDisabled = -2011,
};

/// Codes of kCocoaErrorDomain the extension uses, with the platform's values.
enum class CocoaErrorCode : std::int64_t {
  fileReadNoPermission = 257,
  userCancelled = 3072,
  featureUnsupported = 3328,
  xpcConnectionReplyInvalid = 4101,
  coderReadCorrupt = 4864,
};

/// A value type; copies share the underlying errors and items they hold.
class Error {
 public:
  using UserInfoValue =
      std::variant<std::string, std::int64_t, bool, std::shared_ptr<const Error>, ItemPtr>;
  using UserInfo = std::map<std::string, UserInfoValue, std::less<>>;

  static constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";
  static constexpr std::string_view kLocalizedDescriptionKey =
      base::ErrorDescription::kLocalizedDescriptionKey;
  static constexpr std::string_view kLocalizedRecoverySuggestionKey =
      "NSLocalizedRecoverySuggestion";
  static constexpr std::string_view kLocalizedFailureReasonKey =
      base::ErrorDescription::kLocalizedFailureReasonKey;
  static constexpr std::string_view kDebugDescriptionKey =
      base::ErrorDescription::kDebugDescriptionKey;
  /// The identifier (text) of the item a noSuchItem error is about.
  static constexpr std::string_view kNonExistentItemIdentifierKey =
      "NSFileProviderErrorNonExistentItemIdentifier";
  /// The item already holding the name, in a filenameCollision error.
  static constexpr std::string_view kCollidingItemKey = "NSFileProviderErrorCollidingItem";
  /// The item a deletionRejected error is about.
  static constexpr std::string_view kItemKey = "NSFileProviderErrorItem";

  Error(std::string domain, std::int64_t code, UserInfo userInfo = {});
  explicit Error(FileProviderErrorCode code, UserInfo userInfo = {});
  explicit Error(CocoaErrorCode code, UserInfo userInfo = {});

  /// noSuchItem, naming the identifier.
  static Error forNonExistentItem(const ItemIdentifier& identifier);
  /// deletionRejected, carrying the item as it stays.
  static Error forRejectedDeletion(ItemPtr item);
  /// filenameCollision, carrying the item that already has the name.
  static Error forCollision(ItemPtr item);
  /// The Cocoa error for a feature the extension does not offer.
  static Error unsupportedFeature();
  /// Cocoa xpcConnectionReplyInvalid holding `underlying` under kUnderlyingErrorKey, its
  /// localized description and, when it has one, its recovery suggestion.
  static Error wrapping(const Error& underlying);
  /// A system error: domain "NSPOSIXErrorDomain" for errno values (else the category's name),
  /// the value as code and the system's message as localized description.
  static Error fromErrorCode(const std::error_code& error);

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const UserInfo& userInfo() const { return userInfo_; }

  bool is(std::string_view domain, std::int64_t code) const;
  bool is(FileProviderErrorCode code) const;
  bool is(CocoaErrorCode code) const;
  bool isFileProviderError() const { return domain_ == kFileProviderErrorDomain; }

  std::shared_ptr<const Error> underlyingError() const;
  /// The text stored under `key`, when it is text.
  std::optional<std::string> stringValue(std::string_view key) const;
  /// The item stored under `key`, when it is an item.
  ItemPtr itemValue(std::string_view key) const;

  /// The user-info description, else the failure reason as "The operation could not be
  /// completed. " + reason, else the text for a known code, else a generic text naming the
  /// domain and code.
  std::string localizedDescription() const;
  std::optional<std::string> localizedRecoverySuggestion() const;
  std::optional<std::string> localizedFailureReason() const;
  /// For logs and tests: Error Domain=<domain> Code=<code> "<description>", followed by
  /// " Underlying=(...)" when there is an underlying error.
  std::string description() const;

  /// Equal domain, code and user info (errors and items held compare by identity).
  bool operator==(const Error& other) const = default;

 private:
  std::string domain_;
  std::int64_t code_ = 0;
  UserInfo userInfo_;
};

/// The shape used in log metadata: domain, code, the user info with the underlying error taken
/// out and rendered the same way, items as their identifiers.
base::ErrorDescription errorDescription(const Error& error);
/// The metadata value of an error (see base::loggerMetadataValue(const ErrorDescription&)).
base::LoggerMetadataValue loggerMetadataValue(const Error& error);

}  // namespace tarnix::platform::fileprovider
