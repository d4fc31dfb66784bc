#pragma once
// The one place where the drive's items and errors become the framework's: identifiers (the
// drive's root folder is the framework's root container), items, and errors.
//
// Immutable after construction; any thread may call it.

#include <memory>
#include <optional>
#include <string>

#include "common/Drive.hpp"
#include "common/FeatureList.hpp"
#include "common/SyncError.hpp"
#include "common/SyncItem.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/items/FileProviderItem.hpp"
#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"

namespace tarnix::common {
class DriveRepository;
class DriveConfigurationProvider;
}  // namespace tarnix::common

namespace tarnix::fileprovider {

/// Asked to check the cloud's reachability again (the network monitor).
class ReachabilityRechecking {
 public:
  virtual ~ReachabilityRechecking() = default;
  virtual void recheckReachability() = 0;
};

/// The error domain under which a SyncError travels inside a framework error.
inline constexpr std::string_view kSyncErrorDomain = "Common.SyncError";

/// A SyncError as a framework error value of its own domain (code: the case's position),
/// with the case's text as localized description.
fp::Error bridgedError(const common::SyncError& error);

class FileProviderConverter {
 public:
  FileProviderConverter(
      common::Drive drive, std::shared_ptr<common::SyncItemStorage> itemStorage,
      std::shared_ptr<common::DriveRepository> driveRepository,
      common::SyncFolderIdentifier cloudRootItemIdentifier,
      std::shared_ptr<const common::FeatureList> featureList,
      std::shared_ptr<ReachabilityRechecking> networkMonitor,
      std::shared_ptr<common::DriveConfigurationProvider> driveConfigurationProvider);

  const common::SyncFolderIdentifier& cloudRootItemIdentifier() const {
    return cloudRootItemIdentifier_;
  }
  std::int64_t currentUserIdentifier() const { return currentUserIdentifier_; }

  // MARK: Identifiers

  /// The root container for the drive's root folder, else the prefixed text.
  fp::ItemIdentifier itemIdentifier(const common::SyncItemIdentifier& identifier) const;
  /// The drive's root folder for the root container; the parsed prefixed text otherwise; none
  /// for anything else (the working set and trash included).
  std::optional<common::SyncItemIdentifier> syncItemIdentifier(
      const fp::ItemIdentifier& identifier) const;

  // MARK: Items

  std::optional<SpecialItemKind> specialItemKind(const common::SyncItem& item) const;
  std::shared_ptr<const FileProviderItem> item(const common::SyncItem& syncItem) const;

  // MARK: Errors

  /// noSuchItem, deletionRejected, filenameCollision, noCloudIdentifier, pageMarkerExpired,
  /// directoryNotEmpty (and serverUnreachable while the network monitor is on) become the
  /// framework's own errors; every other case is wrapped in Cocoa 4101.
  fp::Error convert(const common::SyncError& error) const;
  /// An expired anchor is -1002; a sync error as above; a database error wrapped.
  fp::Error convert(const common::ItemStoreError& error) const;
  /// Framework errors and Cocoa 3072 and 257 pass unchanged; everything else is wrapped.
  fp::Error convert(const fp::Error& error) const;

 private:
  common::Drive drive_;
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::shared_ptr<common::DriveRepository> driveRepository_;
  common::SyncFolderIdentifier cloudRootItemIdentifier_;
  std::string lowercasedCloudStartPath_;
  std::int64_t currentUserIdentifier_;
  std::shared_ptr<const common::FeatureList> featureList_;
  std::shared_ptr<ReachabilityRechecking> networkMonitor_;
  std::shared_ptr<common::DriveConfigurationProvider> driveConfigurationProvider_;
  // skipsRepository joins with the skips service.
};

}  // namespace tarnix::fileprovider
