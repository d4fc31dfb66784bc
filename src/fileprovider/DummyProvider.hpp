#pragma once
// Serves a domain whose provider could not be built: every request fails with the framework's
// cannot-synchronize error (-2005); thumbnails and actions with Cocoa 4101. It touches no
// storage, so it cannot fail itself. Any thread.

#include "fileprovider/FileProviderGlobals.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

class DummyProvider final : public fp::ReplicatedExtension {
 public:
  DummyProvider();

  const fp::Error& cannotSyncError() const { return cannotSyncError_; }
  const fp::Error& defaultXPCError() const { return defaultXPCError_; }

  void invalidate() override {}
  void importDidFinish(std::function<void()> completion) override { completion(); }
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
  /// Nothing is stored for a domain that could not start: no alert is suppressed.
  void setInteractionSuppressed(bool, const std::string&) override {}
  bool isInteractionSuppressed(const std::string&) override { return false; }
  fp::DomainVersion domainVersion() override { return fp::DomainVersion(); }
  base::JSONValue userInfo() override { return deploymentUserInfo(); }

 private:
  fp::Error cannotSyncError_;
  fp::Error defaultXPCError_;
  // buildInfo: the build's facts come from base::BuildInfo.
};

}  // namespace tarnix::fileprovider
