#include "fileprovider/FileProviderWrapper.hpp"

#include <atomic>
#include <exception>
#include <utility>

#include "fileprovider/DummyProvider.hpp"
#include "fileprovider/Provider.hpp"

namespace tarnix::fileprovider {

namespace {

fp::Error failureError(const std::string& what) {
  return fp::Error::wrapping(fp::Error("Tarnix.ProviderFailure", 1,
                                       {{std::string(fp::Error::kLocalizedDescriptionKey), what}}));
}

// A completion that runs at most once, whoever calls it.
template <class... Args>
std::function<void(Args...)> once(std::function<void(Args...)> completion) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [called, completion = std::move(completion)](Args... args) {
    if (called->exchange(true)) return;
    completion(std::forward<Args>(args)...);
  };
}

}  // namespace

FileProviderWrapper::FileProviderWrapper(const fp::Domain& domain, fp::ManagerPtr manager,
                                         std::shared_ptr<FileProviderGlobals> globals)
    : domain_(domain),
      logger_(globals ? globals->logger().child("FileProviderWrapper")
                      : base::Logger("FileProviderWrapper")) {
  wrappedProvider_ = start(std::move(manager), std::move(globals));
}

FileProviderWrapper::FileProviderWrapper(const fp::Domain& domain,
                                         fp::ReplicatedExtensionPtr wrapped, base::Logger logger)
    : domain_(domain), logger_(std::move(logger)), wrappedProvider_(std::move(wrapped)) {}

FileProviderWrapper::~FileProviderWrapper() {
  logger_.info("Deinitialized File Provider extension", {{"domain", domain_.identifier}});
}

fp::ExtensionFactory FileProviderWrapper::factory(
    std::function<std::shared_ptr<FileProviderGlobals>()> globals) {
  return [globals = std::move(globals)](const fp::Domain& domain, fp::ManagerPtr manager) {
    return std::make_shared<FileProviderWrapper>(domain, std::move(manager), globals());
  };
}

fp::ReplicatedExtensionPtr FileProviderWrapper::start(
    fp::ManagerPtr manager, std::shared_ptr<FileProviderGlobals> globals) {
  logger_.info("Initializing File Provider extension ...", {{"domain", domain_.identifier}});
  std::expected<std::shared_ptr<Provider>, ProviderStartError> provider =
      std::unexpected(ProviderStartError{"The File Provider process could not start"});
  if (globals) {
    try {
      auto drive = globals->drive(domain_.identifier);
      if (!drive) {
        provider = std::unexpected(drive.error());
      } else {
        provider = Provider::make(domain_, manager, std::move(*drive), globals,
                                  globals->logger().child("Provider"), globals->featureList());
      }
    } catch (const std::exception& exception) {
      provider = std::unexpected(ProviderStartError{exception.what()});
    }
  }
  if (provider) {
    if (manager) {
      manager->signalErrorResolved(fp::Error(fp::FileProviderErrorCode::cannotSynchronize),
                                   [](std::optional<fp::Error>) {});
    }
    logger_.info("Initializing File Provider extension done", {{"domain", domain_.identifier}});
    return std::move(*provider);
  }
  logger_.error("Initializing File Provider extension failed",
                {{"domain", domain_.identifier}, {"error", provider.error().message}});
  if (manager) {
    manager->disconnect(
        provider.error().isMigrationError ? kMigrationFailureReason : kStartFailureReason,
        fp::DomainDisconnectionOptions::temporary, [](std::optional<fp::Error>) {});
  }
  return std::make_shared<DummyProvider>();
}

fp::ProgressPtr FileProviderWrapper::guarded(const char* selector,
                                             const std::function<fp::ProgressPtr()>& call,
                                             const std::function<void(fp::Error)>& fail) {
  try {
    if (auto progress = call()) return progress;
  } catch (const std::exception& exception) {
    logger_.error("File provider call failed",
                  {{"selector", selector}, {"error", exception.what()}});
    fail(failureError(exception.what()));
  }
  return fp::Progress::make();
}

void FileProviderWrapper::invalidate() {
  try {
    wrappedProvider_->invalidate();
  } catch (const std::exception& exception) {
    logger_.error("File provider call failed",
                  {{"selector", "invalidate"}, {"error", exception.what()}});
  }
  logger_.info("Invalidated File Provider extension", {{"domain", domain_.identifier}});
}

void FileProviderWrapper::importDidFinish(std::function<void()> completion) {
  auto done = once<>(std::move(completion));
  try {
    wrappedProvider_->importDidFinish(done);
  } catch (const std::exception& exception) {
    logger_.error("File provider call failed",
                  {{"selector", "importDidFinish"}, {"error", exception.what()}});
    done();
  }
}

fp::ProgressPtr FileProviderWrapper::item(const fp::ItemIdentifier& identifier,
                                          const fp::Request& request, ItemCompletion completion) {
  auto done = once<fp::ItemPtr, std::optional<fp::Error>>(std::move(completion));
  return guarded(
      "itemForIdentifier", [&] { return wrappedProvider_->item(identifier, request, done); },
      [&](fp::Error error) { done(nullptr, std::move(error)); });
}

fp::ProgressPtr FileProviderWrapper::fetchContents(
    const fp::ItemIdentifier& identifier, const std::optional<fp::ItemVersion>& requestedVersion,
    const fp::Request& request, FetchContentsCompletion completion) {
  auto done = once<std::optional<std::filesystem::path>, fp::ItemPtr, std::optional<fp::Error>>(
      std::move(completion));
  return guarded(
      "fetchContents",
      [&] { return wrappedProvider_->fetchContents(identifier, requestedVersion, request, done); },
      [&](fp::Error error) { done(std::nullopt, nullptr, std::move(error)); });
}

fp::ProgressPtr FileProviderWrapper::fetchPartialContents(
    const fp::ItemIdentifier& identifier, const fp::ItemVersion& requestedVersion,
    const fp::Request& request, fp::ByteRange minimalRange, std::int64_t alignment,
    fp::FetchContentsOptions options, FetchPartialContentsCompletion completion) {
  auto done = once<std::optional<std::filesystem::path>, fp::ItemPtr, fp::DeliveredRange,
                   fp::MaterializationFlags, std::optional<fp::Error>>(std::move(completion));
  return guarded(
      "fetchPartialContents",
      [&] {
        return wrappedProvider_->fetchPartialContents(identifier, requestedVersion, request,
                                                      minimalRange, alignment, options, done);
      },
      [&](fp::Error error) {
        done(std::nullopt, nullptr, fp::DeliveredRange{}, fp::MaterializationFlags::none,
             std::move(error));
      });
}

fp::ProgressPtr FileProviderWrapper::createItem(
    fp::ItemPtr itemTemplate, fp::ItemFields fields,
    const std::optional<std::filesystem::path>& contents, fp::CreateItemOptions options,
    const fp::Request& request, ChangeItemCompletion completion) {
  auto done =
      once<fp::ItemPtr, fp::ItemFields, bool, std::optional<fp::Error>>(std::move(completion));
  return guarded(
      "createItem",
      [&] {
        return wrappedProvider_->createItem(itemTemplate, fields, contents, options, request, done);
      },
      [&](fp::Error error) { done(nullptr, fp::ItemFields::none, false, std::move(error)); });
}

fp::ProgressPtr FileProviderWrapper::modifyItem(
    fp::ItemPtr item, const fp::ItemVersion& baseVersion, fp::ItemFields changedFields,
    const std::optional<std::filesystem::path>& contents, fp::ModifyItemOptions options,
    const fp::Request& request, ChangeItemCompletion completion) {
  auto done =
      once<fp::ItemPtr, fp::ItemFields, bool, std::optional<fp::Error>>(std::move(completion));
  return guarded(
      "modifyItem",
      [&] {
        return wrappedProvider_->modifyItem(item, baseVersion, changedFields, contents, options,
                                            request, done);
      },
      [&](fp::Error error) { done(nullptr, fp::ItemFields::none, false, std::move(error)); });
}

fp::ProgressPtr FileProviderWrapper::deleteItem(const fp::ItemIdentifier& identifier,
                                                const fp::ItemVersion& baseVersion,
                                                fp::DeleteItemOptions options,
                                                const fp::Request& request,
                                                ErrorCompletion completion) {
  auto done = once<std::optional<fp::Error>>(std::move(completion));
  return guarded(
      "deleteItem",
      [&] { return wrappedProvider_->deleteItem(identifier, baseVersion, options, request, done); },
      [&](fp::Error error) { done(std::move(error)); });
}

std::expected<fp::EnumeratorPtr, fp::Error> FileProviderWrapper::enumerator(
    const fp::ItemIdentifier& containerItemIdentifier, const fp::Request& request) {
  try {
    return wrappedProvider_->enumerator(containerItemIdentifier, request);
  } catch (const std::exception& exception) {
    logger_.error("File provider call failed",
                  {{"selector", "enumerator"}, {"error", exception.what()}});
    return std::unexpected(failureError(exception.what()));
  }
}

fp::ProgressPtr FileProviderWrapper::fetchThumbnails(
    const std::vector<fp::ItemIdentifier>& identifiers, fp::ThumbnailSize requestedSize,
    PerThumbnailCompletion perThumbnail, ErrorCompletion completion) {
  auto done = once<std::optional<fp::Error>>(std::move(completion));
  return guarded(
      "fetchThumbnails",
      [&] {
        return wrappedProvider_->fetchThumbnails(identifiers, requestedSize, perThumbnail, done);
      },
      [&](fp::Error error) { done(std::move(error)); });
}

fp::ProgressPtr FileProviderWrapper::performAction(
    const fp::ActionIdentifier& actionIdentifier,
    const std::vector<fp::ItemIdentifier>& itemIdentifiers, ErrorCompletion completion) {
  auto done = once<std::optional<fp::Error>>(std::move(completion));
  return guarded(
      "performAction",
      [&] { return wrappedProvider_->performAction(actionIdentifier, itemIdentifiers, done); },
      [&](fp::Error error) { done(std::move(error)); });
}

fp::ProgressPtr FileProviderWrapper::supportedServiceSources(const fp::ItemIdentifier& identifier,
                                                             ServiceSourcesCompletion completion) {
  auto done =
      once<std::vector<fp::ServiceSourcePtr>, std::optional<fp::Error>>(std::move(completion));
  return guarded(
      "supportedServiceSources",
      [&] { return wrappedProvider_->supportedServiceSources(identifier, done); },
      [&](fp::Error error) { done({}, std::move(error)); });
}

void FileProviderWrapper::setInteractionSuppressed(bool suppression,
                                                   const std::string& suppressionIdentifier) {
  try {
    wrappedProvider_->setInteractionSuppressed(suppression, suppressionIdentifier);
  } catch (const std::exception& exception) {
    logger_.error("File provider call failed",
                  {{"selector", "setInteractionSuppressed"}, {"error", exception.what()}});
  }
}

bool FileProviderWrapper::isInteractionSuppressed(const std::string& suppressionIdentifier) {
  try {
    return wrappedProvider_->isInteractionSuppressed(suppressionIdentifier);
  } catch (const std::exception& exception) {
    logger_.error("File provider call failed",
                  {{"selector", "isInteractionSuppressed"}, {"error", exception.what()}});
    return false;
  }
}

fp::DomainVersion FileProviderWrapper::domainVersion() {
  try {
    return wrappedProvider_->domainVersion();
  } catch (const std::exception&) {
    return fp::DomainVersion();
  }
}

base::JSONValue FileProviderWrapper::userInfo() {
  try {
    return wrappedProvider_->userInfo();
  } catch (const std::exception&) {
    return deploymentUserInfo();
  }
}

}  // namespace tarnix::fileprovider
