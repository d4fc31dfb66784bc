#pragma once
// The extension as the system drives it, one object per domain: item lookups, contents,
// creations, modifications, deletions, enumerators, thumbnails, custom actions, service
// sources, alert suppression and the domain's state. The host calls these the way the system
// does on the other platform.
//
// Calls may arrive on any thread and are not serialised by the caller. Every completion handler
// runs exactly once, on a thread of the extension's choice. A returned Progress belongs to the
// caller, who may cancel it.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/JSONValue.hpp"
#include "platform/fileprovider/Domain.hpp"
#include "platform/fileprovider/Enumerator.hpp"
#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/Item.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"
#include "platform/fileprovider/Manager.hpp"
#include "platform/fileprovider/OptionSet.hpp"
#include "platform/fileprovider/Progress.hpp"
#include "platform/fileprovider/ServiceSource.hpp"

namespace tarnix::platform::fileprovider {

/// Who asks, as far as the system tells.
struct Request {
  /// The system itself asks (for example to keep an item downloaded), not an application.
  bool isSystemRequest = false;
  /// The file browser asks.
  bool isFileViewerRequest = false;
  std::optional<std::filesystem::path> requestingExecutable;
  /// The domain version the system knew when it made the request.
  std::optional<DomainVersion> domainVersion;
};

enum class CreateItemOptions : std::uint32_t {
  none = 0,
  /// The system is importing items that may already exist in the cloud.
  mayAlreadyExist = 1 << 0,
  /// The item is re-created after its deletion conflicted with a change elsewhere.
  deletionConflicted = 1 << 1,
};
template <>
struct EnableOptionSet<CreateItemOptions> : std::true_type {};

enum class ModifyItemOptions : std::uint32_t {
  none = 0,
  mayAlreadyExist = 1 << 0,
};
template <>
struct EnableOptionSet<ModifyItemOptions> : std::true_type {};

enum class DeleteItemOptions : std::uint32_t {
  none = 0,
  /// A folder goes with everything in it.
  recursive = 1 << 0,
};
template <>
struct EnableOptionSet<DeleteItemOptions> : std::true_type {};

enum class FetchContentsOptions : std::uint32_t {
  none = 0,
  /// Only the requested version will do.
  strictVersioning = 1 << 0,
};
template <>
struct EnableOptionSet<FetchContentsOptions> : std::true_type {};

/// Flags of a partial download's result.
enum class MaterializationFlags : std::uint32_t {
  none = 0,
  knownSparseRanges = 1 << 0,
};
template <>
struct EnableOptionSet<MaterializationFlags> : std::true_type {};

/// A byte range of a file's contents.
struct ByteRange {
  std::int64_t location = 0;
  std::int64_t length = 0;
  bool operator==(const ByteRange&) const = default;
};

/// Where a partial fetch's bytes are: `range` of the item's contents, held in the delivered file
/// from byte `fileOffset` on. 0: the file holds the range alone, from its first byte;
/// `range.location`: the file holds the range at its own place in the contents.
struct DeliveredRange {
  ByteRange range;
  std::int64_t fileOffset = 0;
  bool operator==(const DeliveredRange&) const = default;
};

/// A thumbnail size in points.
struct ThumbnailSize {
  double width = 0;
  double height = 0;
  bool operator==(const ThumbnailSize&) const = default;
};

using ActionIdentifier = std::string;

class ReplicatedExtension {
 public:
  using ItemCompletion = std::function<void(ItemPtr, std::optional<Error>)>;
  /// The file holding the contents (the extension hands it over; the caller moves it away) and
  /// the item as of those contents.
  using FetchContentsCompletion =
      std::function<void(std::optional<std::filesystem::path>, ItemPtr, std::optional<Error>)>;
  /// The file holding the delivered range (handed over as with fetchContents), the item as of
  /// those contents, and which bytes the file holds where.
  using FetchPartialContentsCompletion =
      std::function<void(std::optional<std::filesystem::path>, ItemPtr, DeliveredRange,
                         MaterializationFlags, std::optional<Error>)>;
  /// The item as stored, the fields the extension has not yet carried to the cloud, and whether
  /// the system should fetch the contents again.
  using ChangeItemCompletion = std::function<void(ItemPtr, ItemFields, bool, std::optional<Error>)>;
  using ErrorCompletion = std::function<void(std::optional<Error>)>;
  using PerThumbnailCompletion =
      std::function<void(const ItemIdentifier&, std::optional<Data>, std::optional<Error>)>;
  using ServiceSourcesCompletion =
      std::function<void(std::vector<ServiceSourcePtr>, std::optional<Error>)>;

  virtual ~ReplicatedExtension() = default;

  /// The domain goes away; no more calls follow.
  virtual void invalidate() = 0;
  /// The system finished importing the domain's files.
  virtual void importDidFinish(std::function<void()> completion) = 0;

  virtual ProgressPtr item(const ItemIdentifier& identifier, const Request& request,
                           ItemCompletion completion) = 0;
  /// `requestedVersion`: none for the latest.
  virtual ProgressPtr fetchContents(const ItemIdentifier& identifier,
                                    const std::optional<ItemVersion>& requestedVersion,
                                    const Request& request, FetchContentsCompletion completion) = 0;
  /// At least `minimalRange`, widened to multiples of `alignment` (and cut at the end of the
  /// contents); the whole contents when the cloud cannot serve a range. The completion's
  /// DeliveredRange says where those bytes sit in the delivered file; the caller reads them from
  /// there and assumes nothing about the file's length. Completion: on the calling thread before
  /// the call returns when the fetch is refused at once (unknown item, version no longer
  /// available, extension invalidated); otherwise on a queue of the extension's own (the
  /// provider: its cloud session's callback queue), never on the calling thread, so the caller
  /// may block its own thread waiting for it but must not block that queue.
  virtual ProgressPtr fetchPartialContents(const ItemIdentifier& identifier,
                                           const ItemVersion& requestedVersion,
                                           const Request& request, ByteRange minimalRange,
                                           std::int64_t alignment, FetchContentsOptions options,
                                           FetchPartialContentsCompletion completion) = 0;
  /// `itemTemplate` describes the new item; `fields` says which of its properties are set;
  /// `contents` is the file with its contents (files only).
  virtual ProgressPtr createItem(ItemPtr itemTemplate, ItemFields fields,
                                 const std::optional<std::filesystem::path>& contents,
                                 CreateItemOptions options, const Request& request,
                                 ChangeItemCompletion completion) = 0;
  virtual ProgressPtr modifyItem(ItemPtr item, const ItemVersion& baseVersion,
                                 ItemFields changedFields,
                                 const std::optional<std::filesystem::path>& contents,
                                 ModifyItemOptions options, const Request& request,
                                 ChangeItemCompletion completion) = 0;
  virtual ProgressPtr deleteItem(const ItemIdentifier& identifier, const ItemVersion& baseVersion,
                                 DeleteItemOptions options, const Request& request,
                                 ErrorCompletion completion) = 0;
  virtual std::expected<EnumeratorPtr, Error> enumerator(
      const ItemIdentifier& containerItemIdentifier, const Request& request) = 0;
  /// `perThumbnail` runs once per identifier (no data: no thumbnail), then `completion` once.
  virtual ProgressPtr fetchThumbnails(const std::vector<ItemIdentifier>& identifiers,
                                      ThumbnailSize requestedSize,
                                      PerThumbnailCompletion perThumbnail,
                                      ErrorCompletion completion) = 0;
  virtual ProgressPtr performAction(const ActionIdentifier& actionIdentifier,
                                    const std::vector<ItemIdentifier>& itemIdentifiers,
                                    ErrorCompletion completion) = 0;
  virtual ProgressPtr supportedServiceSources(const ItemIdentifier& identifier,
                                              ServiceSourcesCompletion completion) = 0;

  virtual void setInteractionSuppressed(bool suppression,
                                        const std::string& suppressionIdentifier) = 0;
  virtual bool isInteractionSuppressed(const std::string& suppressionIdentifier) = 0;

  virtual DomainVersion domainVersion() = 0;
  /// The domain's state for the file browser's rules (a JSON object).
  virtual base::JSONValue userInfo() = 0;
};

using ReplicatedExtensionPtr = std::shared_ptr<ReplicatedExtension>;

/// How the host starts the extension for a domain (what the system does with initWithDomain:).
/// `manager` is null when the system has none for the domain.
using ExtensionFactory =
    std::function<ReplicatedExtensionPtr(const Domain& domain, ManagerPtr manager)>;

}  // namespace tarnix::platform::fileprovider
