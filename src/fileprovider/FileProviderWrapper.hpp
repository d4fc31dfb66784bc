#pragma once
// The object the framework (on this platform: the host) drives for one domain: a decorator over
// the domain's extension. Starting a domain resolves the drive, builds the Provider and, when
// that fails, disconnects the domain temporarily and serves it with a DummyProvider. Every call
// is forwarded to the wrapped extension, whose completions (and their queues) are passed on.
//
// No exception leaves the wrapper: a provider call that throws is logged and its completion
// gets Cocoa 4101 wrapping the failure (once; a completion already run is not run again).
// Threads: any; calls are not serialised here.

#include <functional>
#include <memory>

#include "base/Logger.hpp"
#include "fileprovider/FileProviderGlobals.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

inline constexpr const char* kMigrationFailureReason =
    "Tarnix needs to be restarted to continue syncing this location";
inline constexpr const char* kStartFailureReason =
    "Tarnix encountered an error. Try restarting the application or contact support";

class FileProviderWrapper final : public fp::ReplicatedExtension {
 public:
  /// Starts the domain. `globals` null: the process could not start; the domain is served by
  /// a DummyProvider.
  FileProviderWrapper(const fp::Domain& domain, fp::ManagerPtr manager,
                      std::shared_ptr<FileProviderGlobals> globals);
  /// Guards `wrapped` (never null), already started, for `domain`.
  FileProviderWrapper(const fp::Domain& domain, fp::ReplicatedExtensionPtr wrapped,
                      base::Logger logger);
  ~FileProviderWrapper() override;

  /// Starts each domain with the globals `globals()` returns at that moment.
  static fp::ExtensionFactory factory(
      std::function<std::shared_ptr<FileProviderGlobals>()> globals);

  /// The Provider or the DummyProvider (or whatever the second constructor was given).
  const fp::ReplicatedExtensionPtr& wrappedProvider() const { return wrappedProvider_; }
  const fp::Domain& domain() const { return domain_; }

  void invalidate() override;
  void importDidFinish(std::function<void()> completion) override;
  fp::ProgressPtr item(const fp::ItemIdentifier& identifier, const fp::Request& request,
                       ItemCompletion completion) override;
  fp::ProgressPtr fetchContents(const fp::ItemIdentifier& identifier,
                                const std::optional<fp::ItemVersion>& requestedVersion,
                                const fp::Request& request,
                                FetchContentsCompletion completion) override;
  fp::ProgressPtr fetchPartialContents(const fp::ItemIdentifier& identifier,
                                       const fp::ItemVersion& requestedVersion,
                                       const fp::Request& request, fp::ByteRange minimalRange,
                                       std::int64_t alignment, fp::FetchContentsOptions options,
                                       FetchPartialContentsCompletion completion) override;
  fp::ProgressPtr createItem(fp::ItemPtr itemTemplate, fp::ItemFields fields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::CreateItemOptions options, const fp::Request& request,
                             ChangeItemCompletion completion) override;
  fp::ProgressPtr modifyItem(fp::ItemPtr item, const fp::ItemVersion& baseVersion,
                             fp::ItemFields changedFields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::ModifyItemOptions options, const fp::Request& request,
                             ChangeItemCompletion completion) override;
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier& identifier,
                             const fp::ItemVersion& baseVersion, fp::DeleteItemOptions options,
                             const fp::Request& request, ErrorCompletion completion) override;
  std::expected<fp::EnumeratorPtr, fp::Error> enumerator(
      const fp::ItemIdentifier& containerItemIdentifier, const fp::Request& request) override;
  fp::ProgressPtr fetchThumbnails(const std::vector<fp::ItemIdentifier>& identifiers,
                                  fp::ThumbnailSize requestedSize,
                                  PerThumbnailCompletion perThumbnail,
                                  ErrorCompletion completion) override;
  fp::ProgressPtr performAction(const fp::ActionIdentifier& actionIdentifier,
                                const std::vector<fp::ItemIdentifier>& itemIdentifiers,
                                ErrorCompletion completion) override;
  fp::ProgressPtr supportedServiceSources(const fp::ItemIdentifier& identifier,
                                          ServiceSourcesCompletion completion) override;
  void setInteractionSuppressed(bool suppression,
                                const std::string& suppressionIdentifier) override;
  bool isInteractionSuppressed(const std::string& suppressionIdentifier) override;
  fp::DomainVersion domainVersion() override;
  base::JSONValue userInfo() override;

 private:
  fp::ReplicatedExtensionPtr start(fp::ManagerPtr manager,
                                   std::shared_ptr<FileProviderGlobals> globals);
  /// Runs `call`; on an exception logs it and runs `fail` with the wrapped failure.
  fp::ProgressPtr guarded(const char* selector, const std::function<fp::ProgressPtr()>& call,
                          const std::function<void(fp::Error)>& fail);

  fp::Domain domain_;
  base::Logger logger_ = base::Logger::null();
  fp::ReplicatedExtensionPtr wrappedProvider_;
};

}  // namespace tarnix::fileprovider
