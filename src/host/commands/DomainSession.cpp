#include "host/commands/DomainSession.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <ranges>

#include "common/KnownPath.hpp"
#include "common/SyncError.hpp"
#include "fileprovider/FileProviderWrapper.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"
#include "host/ExtensionRegistry.hpp"
#include "host/commands/CloudUser.hpp"

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

// Ends the presentation of an enumerator however the caller leaves.
struct EnumeratorLease {
  fp::EnumeratorPtr enumerator;
  ~EnumeratorLease() {
    if (enumerator) enumerator->invalidate();
  }
};

// Whether `error` or an error under it is the sync error `code`.
bool hasSyncCause(const fp::Error& error, common::SyncError::Code code) {
  if (error.domain() == fileprovider::kSyncErrorDomain &&
      error.code() == static_cast<std::int64_t>(code)) {
    return true;
  }
  auto underlying = error.underlyingError();
  return underlying && hasSyncCause(*underlying, code);
}

// Calls other than the listing wait: the provider answers them from its store.
constexpr auto kCallTimeout = std::chrono::seconds(60);
// How long a command waits for the cloud to name an account's user it does not know; a cloud
// slower than that is asked again by the next command.
constexpr auto kUserIdentifierWait = std::chrono::seconds(5);
constexpr std::int64_t kPageSize = 1000;
constexpr int kMaxPages = 100000;

std::string lowercased(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::expected<std::unique_ptr<DomainSession>, std::string> DomainSession::open(
    const std::string& drive) {
  auto resolved = resolveDrive(drive);
  if (!resolved) return std::unexpected(resolved.error());
  return open(*resolved);
}

std::expected<std::unique_ptr<DomainSession>, std::string> DomainSession::open(
    const ResolvedDrive& drive) {
  // Reading never waits for whoever serves the drive; a lock file that cannot be used only
  // means this command reads beside them.
  auto lease = leaseDrive(drive, std::chrono::milliseconds(0));
  return start(drive, lease ? std::move(lease->lock) : nullptr);
}

std::expected<std::unique_ptr<DomainSession>, std::string> DomainSession::open(
    const ResolvedDrive& drive, std::unique_ptr<DriveLock> lock) {
  return start(drive, std::move(lock));
}

std::expected<std::unique_ptr<DomainSession>, std::string> DomainSession::start(
    const ResolvedDrive& drive, std::unique_ptr<DriveLock> lock) {
  auto session = std::unique_ptr<DomainSession>(new DomainSession());
  fileprovider::FileProviderGlobalsConfiguration configuration;
  configuration.containerRoot = common::appGroupContainerRoot();
  // A command ends by itself; settings changing meanwhile need no restart.
  configuration.exit = [](int) {};
  configuration.deferredWork = lock != nullptr;
  configuration.followCloudChanges = false;
  session->lock_ = std::move(lock);
  auto globals = fileprovider::FileProviderGlobals::make(std::move(configuration));
  if (!globals) return std::unexpected(globals.error().message);
  session->globals_ = std::move(*globals);

  // Before the provider starts, so that it knows whose locks are the user's own.
  auto known =
      learnUserIdentifier(*session->globals_->appGroup(), drive.drive, kUserIdentifierWait);
  session->domain_ = known.domain;

  auto manager = std::make_shared<CommandManager>(
      fp::Domain{fp::DomainIdentifier(known.identifier), known.label},
      session->globals_->appGroup()->temporaryDirectoryURL());
  session->manager_ = manager;
  auto wrapper = std::make_shared<fileprovider::FileProviderWrapper>(manager->domain(), manager,
                                                                     session->globals_);
  session->extension_ = wrapper;
  session->calls_ = std::make_unique<ExtensionCalls>(wrapper, kCallTimeout);
  if (auto reason = manager->disconnectionReason()) {
    return std::unexpected("The drive " + known.label + " is not available: " + *reason);
  }
  return session;
}

DomainSession::~DomainSession() {
  if (extension_) extension_->invalidate();
}

std::expected<fp::ItemPtr, std::string> DomainSession::item(const fp::ItemIdentifier& identifier) {
  auto found = calls_->item(identifier);
  if (!found) {
    return std::unexpected(found.error().error ? found.error().error->localizedDescription()
                                               : "the provider did not answer in time");
  }
  return std::move(*found);
}

std::string DomainSession::listingFailure(const std::string& path, const CallError& error) const {
  using C = fp::FileProviderErrorCode;
  using S = common::SyncError::Code;
  std::string cause;
  if (!error.error) {
    cause = "the listing from the cloud did not end within " +
            std::to_string(kListingWait.count()) + " seconds";
    return path + ": cannot list the folder: " + cause;
  }
  const auto& e = *error.error;
  if (e.is(C::serverUnreachable) || hasSyncCause(e, S::serverUnreachable)) {
    cause = "server unreachable (" + domain_ + ")";
  } else if (e.is(C::notAuthenticated) || hasSyncCause(e, S::authenticationRequired)) {
    cause = "authentication refused by " + domain_ + " (add the account again to sign in)";
  } else if (e.is(C::noSuchItem) || hasSyncCause(e, S::noSuchItem) ||
             hasSyncCause(e, S::pathNotFound)) {
    cause = "no such item on the cloud";
  } else if (hasSyncCause(e, S::permissionDenied)) {
    cause = "permission denied by the cloud";
  } else {
    cause = e.localizedDescription();
  }
  return path + ": cannot list the folder: " + cause;
}

std::expected<std::vector<fp::ItemPtr>, std::string> DomainSession::children(
    const fp::Item& folder, const std::string& path) {
  auto enumerator = calls_->enumerator(folder.itemIdentifier());
  if (!enumerator) return std::unexpected(listingFailure(path, enumerator.error()));
  EnumeratorLease lease{*enumerator};
  if (auto listed = calls_->waitForPresentationListing(*lease.enumerator, kListingWait); !listed) {
    return std::unexpected(listingFailure(path, listed.error()));
  }
  std::vector<fp::ItemPtr> items;
  std::optional<fp::Page> page = fp::Page::initialPageSortedByName();
  // Bounded: an enumerator that hands back pages forever must not hold the command.
  for (int pages = 0; page && pages < kMaxPages; ++pages) {
    auto result = calls_->enumerateItems(*lease.enumerator, *page, kPageSize);
    if (!result) {
      return std::unexpected(path + ": " +
                             (result.error().error ? result.error().error->localizedDescription()
                                                   : std::string("the provider did not answer")));
    }
    for (auto& child : result->items)
      if (child) items.push_back(std::move(child));
    page = std::move(result->nextPage);
  }
  if (page) return std::unexpected(path + ": the folder's enumeration does not end");
  return items;
}

std::expected<fp::ItemPtr, std::string> DomainSession::child(const fp::Item& folder,
                                                             const std::string& path,
                                                             const std::string& name) {
  auto items = children(folder, path);
  if (!items) return std::unexpected(items.error());
  auto exact =
      std::ranges::find_if(*items, [&](const fp::ItemPtr& c) { return c->filename() == name; });
  if (exact == items->end()) {
    exact = std::ranges::find_if(*items, [&](const fp::ItemPtr& c) {
      return lowercased(c->filename()) == lowercased(name);
    });
  }
  if (exact == items->end()) return fp::ItemPtr();
  return *exact;
}

std::expected<fp::ItemPtr, DomainSession::LookupFailure> DomainSession::lookUp(
    const std::string& path) {
  auto current = item(fp::ItemIdentifier::rootContainer());
  if (!current) return std::unexpected(LookupFailure{0, current.error()});
  std::string walked;
  bool any = false;
  for (auto part : path | std::views::split('/')) {
    const std::string name(part.begin(), part.end());
    if (name.empty() || name == ".") continue;
    any = true;
    if (!(*current)->isFolder())
      return std::unexpected(LookupFailure{ENOTDIR, path + ": not a folder"});
    auto found = child(**current, walked.empty() ? "/" : walked, name);
    if (!found) return std::unexpected(LookupFailure{0, found.error()});
    if (!*found) return std::unexpected(LookupFailure{ENOENT, path + ": no such item"});
    current = std::move(*found);
    walked += "/" + (*current)->filename();
  }
  if (!any) {
    // The root's own attributes come with its listing.
    if (auto listed = children(**current, "/"); !listed)
      return std::unexpected(LookupFailure{0, listed.error()});
    current = item(fp::ItemIdentifier::rootContainer());
    if (!current) return std::unexpected(LookupFailure{0, current.error()});
  }
  return std::move(*current);
}

std::expected<fp::ItemPtr, std::string> DomainSession::itemAtPath(const std::string& path) {
  auto found = lookUp(path);
  if (!found) return std::unexpected(std::move(found.error().message));
  return std::move(*found);
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
    // The commands run beside the mount hear of the cloud changes it brings in.
    configuration.useSessionBus = true;
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
