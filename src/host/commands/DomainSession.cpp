#include "host/commands/DomainSession.hpp"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <ranges>

#include "common/DriveLookup.hpp"
#include "common/KnownPath.hpp"
#include "fileprovider/FileProviderWrapper.hpp"
#include "host/ExtensionRegistry.hpp"

namespace tarnix::host {

namespace {

// The manager of a domain served for one command: nothing to signal, and a disconnection is
// remembered so the command can say why the drive is not available.
class CommandManager final : public fp::Manager {
 public:
  CommandManager(fp::Domain domain, std::filesystem::path temporaryDirectory)
      : domain_(std::move(domain)), temporaryDirectory_(std::move(temporaryDirectory)) {}

  const fp::Domain& domain() const override { return domain_; }
  void signalEnumerator(const fp::ItemIdentifier&, Completion completion) override {
    completion(std::nullopt);
  }
  std::expected<std::filesystem::path, fp::Error> temporaryDirectoryURL() override {
    return temporaryDirectory_;
  }
  void disconnect(std::string reason, fp::DomainDisconnectionOptions,
                  Completion completion) override {
    {
      std::lock_guard lock(mutex_);
      reason_ = std::move(reason);
    }
    completion(std::nullopt);
  }
  void signalErrorResolved(const fp::Error&, Completion completion) override {
    completion(std::nullopt);
  }
  std::optional<fp::Data> backingStoreIdentity() const override { return std::nullopt; }
  void getUserVisibleURL(
      const fp::ItemIdentifier& identifier,
      std::function<void(std::expected<std::filesystem::path, fp::Error>)> completion) override {
    completion(std::unexpected(fp::Error::forNonExistentItem(identifier)));
  }
  std::optional<std::string> disconnectionReason() const {
    std::lock_guard lock(mutex_);
    return reason_;
  }

 private:
  const fp::Domain domain_;
  const std::filesystem::path temporaryDirectory_;
  mutable std::mutex mutex_;
  std::optional<std::string> reason_;
};

// Collects one page.
class PageCollector final : public fp::EnumerationObserver {
 public:
  void didEnumerateItems(std::vector<fp::ItemPtr> items) override {
    items_.insert(items_.end(), items.begin(), items.end());
  }
  void finishEnumeratingUpToPage(std::optional<fp::Page> nextPage) override {
    nextPage_ = std::move(nextPage);
    finished_ = true;
  }
  void finishEnumeratingWithError(fp::Error error) override {
    error_ = std::move(error);
    finished_ = true;
  }
  std::vector<fp::ItemPtr> items_;
  std::optional<fp::Page> nextPage_;
  std::optional<fp::Error> error_;
  bool finished_ = false;
};

std::string lowercased(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::expected<std::unique_ptr<DomainSession>, std::string> DomainSession::open(
    const std::string& drive) {
  auto session = std::unique_ptr<DomainSession>(new DomainSession());
  fileprovider::FileProviderGlobalsConfiguration configuration;
  configuration.containerRoot = common::appGroupContainerRoot();
  // A command ends by itself; settings changing meanwhile need no restart.
  configuration.exit = [](int) {};
  auto globals = fileprovider::FileProviderGlobals::make(std::move(configuration));
  if (!globals) return std::unexpected(globals.error().message);
  session->globals_ = std::move(*globals);

  auto found = common::findDrive(*session->globals_->driveRepository(), drive);
  if (!found) return std::unexpected(found.error().message);

  auto manager = std::make_shared<CommandManager>(
      fp::Domain{fp::DomainIdentifier(found->identifier), found->label},
      session->globals_->appGroup()->temporaryDirectoryURL());
  session->manager_ = manager;
  auto wrapper = std::make_shared<fileprovider::FileProviderWrapper>(manager->domain(), manager,
                                                                     session->globals_);
  session->extension_ = wrapper;
  if (auto reason = manager->disconnectionReason()) {
    return std::unexpected("The drive " + found->label + " is not available: " + *reason);
  }
  return session;
}

DomainSession::~DomainSession() {
  if (extension_) extension_->invalidate();
}

std::expected<fp::ItemPtr, std::string> DomainSession::item(const fp::ItemIdentifier& identifier) {
  std::expected<fp::ItemPtr, std::string> result = std::unexpected("No answer");
  extension_->item(identifier, {}, [&](fp::ItemPtr item, std::optional<fp::Error> error) {
    if (item) {
      result = std::move(item);
    } else {
      result = std::unexpected(error ? error->localizedDescription() : "No such item");
    }
  });
  return result;
}

std::expected<std::vector<fp::ItemPtr>, std::string> DomainSession::children(
    const fp::ItemIdentifier& container) {
  auto enumerator = extension_->enumerator(container, {});
  if (!enumerator) return std::unexpected(enumerator.error().localizedDescription());
  std::vector<fp::ItemPtr> items;
  fp::Page page = fp::Page::initialPageSortedByName();
  while (true) {
    auto collector = std::make_shared<PageCollector>();
    (*enumerator)->enumerateItems(collector, page);
    // The provider answers before returning; an enumerator that does not is not one of ours.
    if (!collector->finished_) {
      (*enumerator)->invalidate();
      return std::unexpected("The enumeration did not finish");
    }
    items.insert(items.end(), collector->items_.begin(), collector->items_.end());
    if (collector->error_) {
      (*enumerator)->invalidate();
      return std::unexpected(collector->error_->localizedDescription());
    }
    if (!collector->nextPage_) break;
    page = *collector->nextPage_;
  }
  (*enumerator)->invalidate();
  return items;
}

std::expected<fp::ItemPtr, std::string> DomainSession::itemAtPath(const std::string& path) {
  auto current = item(fp::ItemIdentifier::rootContainer());
  if (!current) return current;
  for (auto part : path | std::views::split('/')) {
    const std::string name(part.begin(), part.end());
    if (name.empty() || name == ".") continue;
    if (!(*current)->isFolder()) return std::unexpected(path + ": not a folder");
    auto items = children((*current)->itemIdentifier());
    if (!items) return std::unexpected(items.error());
    auto exact =
        std::ranges::find_if(*items, [&](const fp::ItemPtr& c) { return c->filename() == name; });
    if (exact == items->end()) {
      exact = std::ranges::find_if(*items, [&](const fp::ItemPtr& c) {
        return lowercased(c->filename()) == lowercased(name);
      });
    }
    if (exact == items->end()) return std::unexpected(path + ": no such item");
    current = *exact;
  }
  return current;
}

namespace {

// The globals of a process that serves mounted drives. The extension asks to be restarted when
// the sync service's endpoints, the proxy settings or the log level change; ending the process
// would pull the mounted drives away from whoever uses them, so the host keeps serving with the
// settings it started with and says so: they apply when the drive is mounted again.
std::shared_ptr<fileprovider::FileProviderGlobals> hostGlobals() {
  static std::once_flag once;
  static std::shared_ptr<fileprovider::FileProviderGlobals> globals;
  std::call_once(once, [] {
    fileprovider::FileProviderGlobalsConfiguration configuration;
    configuration.containerRoot = common::appGroupContainerRoot();
    auto logger = std::make_shared<base::Logger>("com.tarnix.Host");
    configuration.exit = [logger](int) {
      logger->warning(
          "The provider's settings changed; the mounted drive keeps the settings it was mounted "
          "with until it is mounted again");
    };
    if (auto made = fileprovider::FileProviderGlobals::make(std::move(configuration)))
      globals = std::move(*made);
  });
  return globals;
}

}  // namespace

void registerFileProviderExtension() {
  registerExtensionFactory(fileprovider::FileProviderWrapper::factory(hostGlobals));
}

}  // namespace tarnix::host
