#pragma once
// The error of every sync operation, and the reasons an upload is refused.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/SyncIdentifiers.hpp"

namespace tarnix::common {

struct SyncItem;

enum class UploadRejectionReason {
  unknownReason,
  prohibitedCharacterInFilename,
  prohibitedUnicodeInFilename,
  filenameTooLong,
  pathTooLong,
  excludedFilenameExtension,
  invalidFilename,
  contentTooLarge,
  malwareDetected,
  googleDocUnsupported,
  invalidDestination,
  tooManyFiles,
  storageLimitReached,
  unsupportedContentType,
  aliasFile,
  insufficientPermissions,
  checksumMismatch
};
/// The case name ("filenameTooLong").
std::string_view description(UploadRejectionReason reason);

/// One case per sync failure; the payload fields are set only for the cases that carry them.
class SyncError {
 public:
  enum class Code {
    noSuchItem,
    deletionRejected,
    uploadRejected,
    filenameCollision,
    noCloudIdentifier,
    pageMarkerExpired,
    permissionDenied,
    authenticationRequired,
    directoryNotEmpty,
    fileLocked,
    throttledByServer,
    badServerResponse,
    serverUnreachable,
    invalidFilePath,
    chunkUploadInProgress,
    offlineItemBroken,
    pathNotFound,
    brokenTreeHierarchy,
    entryIDMismatch
  };

  /// A case without payload.
  explicit SyncError(Code code) : code_(code) {}
  static SyncError noSuchItem(SyncItemIdentifier withItemIdentifier);
  static SyncError deletionRejected(SyncItem item);
  static SyncError uploadRejected(UploadRejectionReason reason);
  static SyncError filenameCollision(SyncItem with);

  Code code() const { return code_; }
  /// The identifier of `noSuchItem`.
  const std::optional<SyncItemIdentifier>& itemIdentifier() const { return itemIdentifier_; }
  /// The item of `deletionRejected` and `filenameCollision` (null otherwise).
  const SyncItem* item() const { return item_.get(); }
  /// The reason of `uploadRejected`.
  UploadRejectionReason rejectionReason() const { return reason_; }

  /// The user-facing text of the case ("No such item (file/...)", "Permission denied", ...).
  std::string description() const;
  /// True for `noSuchItem` and `permissionDenied`: an enumerator reports these as unexpected.
  bool isUnexpectedInEnumeration() const;

  bool operator==(const SyncError& other) const;

 private:
  Code code_;
  std::optional<SyncItemIdentifier> itemIdentifier_;
  std::shared_ptr<const SyncItem> item_;
  UploadRejectionReason reason_ = UploadRejectionReason::unknownReason;
};

}  // namespace tarnix::common
