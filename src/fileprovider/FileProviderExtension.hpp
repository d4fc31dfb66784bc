#pragma once
// What the framework-facing wrapper forwards to: the running Provider of a domain, or the
// DummyProvider that stands in after a failed start. Slots, signatures and contracts are those
// of platform::fileprovider::ReplicatedExtension (alert suppression excepted: the wrapper
// answers that itself). Errors handed to completions are already the framework's.

#include <memory>

#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

class FileProviderExtension {
 public:
  using ItemCompletion = fp::ReplicatedExtension::ItemCompletion;
  using FetchContentsCompletion = fp::ReplicatedExtension::FetchContentsCompletion;
  using FetchPartialContentsCompletion = fp::ReplicatedExtension::FetchPartialContentsCompletion;
  using ChangeItemCompletion = fp::ReplicatedExtension::ChangeItemCompletion;
  using ErrorCompletion = fp::ReplicatedExtension::ErrorCompletion;
  using PerThumbnailCompletion = fp::ReplicatedExtension::PerThumbnailCompletion;
  using ServiceSourcesCompletion = fp::ReplicatedExtension::ServiceSourcesCompletion;

  virtual ~FileProviderExtension() = default;

  virtual void invalidate() = 0;
  virtual void importDidFinish(std::function<void()> completion) = 0;
  virtual fp::ProgressPtr item(const fp::ItemIdentifier& identifier, const fp::Request& request,
                               ItemCompletion completion) = 0;
  virtual fp::ProgressPtr fetchContents(const fp::ItemIdentifier& identifier,
                                        const std::optional<fp::ItemVersion>& requestedVersion,
                                        const fp::Request& request,
                                        FetchContentsCompletion completion) = 0;
  virtual fp::ProgressPtr fetchPartialContents(const fp::ItemIdentifier& identifier,
                                               const fp::ItemVersion& requestedVersion,
                                               const fp::Request& request,
                                               fp::ByteRange minimalRange, std::int64_t alignment,
                                               fp::FetchContentsOptions options,
                                               FetchPartialContentsCompletion completion) = 0;
  virtual fp::ProgressPtr createItem(fp::ItemPtr itemTemplate, fp::ItemFields fields,
                                     const std::optional<std::filesystem::path>& contents,
                                     fp::CreateItemOptions options, const fp::Request& request,
                                     ChangeItemCompletion completion) = 0;
  virtual fp::ProgressPtr modifyItem(fp::ItemPtr item, const fp::ItemVersion& baseVersion,
                                     fp::ItemFields changedFields,
                                     const std::optional<std::filesystem::path>& contents,
                                     fp::ModifyItemOptions options, const fp::Request& request,
                                     ChangeItemCompletion completion) = 0;
  virtual fp::ProgressPtr deleteItem(const fp::ItemIdentifier& identifier,
                                     const fp::ItemVersion& baseVersion,
                                     fp::DeleteItemOptions options, const fp::Request& request,
                                     ErrorCompletion completion) = 0;
  virtual std::expected<fp::EnumeratorPtr, fp::Error> enumerator(
      const fp::ItemIdentifier& containerItemIdentifier, const fp::Request& request) = 0;
  virtual fp::ProgressPtr fetchThumbnails(const std::vector<fp::ItemIdentifier>& identifiers,
                                          fp::ThumbnailSize requestedSize,
                                          PerThumbnailCompletion perThumbnail,
                                          ErrorCompletion completion) = 0;
  virtual fp::ProgressPtr performAction(const fp::ActionIdentifier& actionIdentifier,
                                        const std::vector<fp::ItemIdentifier>& itemIdentifiers,
                                        ErrorCompletion completion) = 0;
  virtual fp::ProgressPtr supportedServiceSources(const fp::ItemIdentifier& identifier,
                                                  ServiceSourcesCompletion completion) = 0;
  virtual fp::DomainVersion domainVersion() = 0;
  virtual base::JSONValue userInfo() = 0;
};

/// {"deploymentEnvironment": "dev" | "qa" | "staging" | "release"} for this build.
base::JSONValue deploymentUserInfo();

}  // namespace tarnix::fileprovider
