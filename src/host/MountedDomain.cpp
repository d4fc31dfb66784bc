#include "host/MountedDomain.hpp"

#include <algorithm>
#include <system_error>

#include "base/PrivateFiles.hpp"

namespace tarnix::host {

std::expected<std::unique_ptr<MountedDomain>, std::string> MountedDomain::mount(
    MountOptions options, const fp::ExtensionFactory& factory, base::Logger logger) {
  std::error_code ec = base::createPrivateDirectories(options.stateDirectory);
  if (ec) return std::unexpected(options.stateDirectory.string() + ": " + ec.message());
  std::unique_ptr<MountedDomain> domain(new MountedDomain(options));
  auto store = ReplicaStore::open(storePath(options.stateDirectory));
  if (!store) return std::unexpected(store.error().description());
  domain->store_ = std::move(*store);
  ContentReplicaOptions contentOptions;
  contentOptions.contentsDirectory = options.stateDirectory / "Contents";
  contentOptions.temporaryDirectory = options.stateDirectory / "tmp";
  contentOptions.cacheLimit = options.cacheLimit;
  contentOptions.partialThreshold = options.partialThreshold;
  contentOptions.alignment = options.partialAlignment;
  // Before the extension starts: the downloads it had under way went with the earlier run.
  ContentReplica::removeLeftovers(*domain->store_, contentOptions, logger.child("contents"));
  domain->manager_ = std::make_shared<DomainManager>(
      options.domain, domain->store_, contentOptions.temporaryDirectory, options.mountPoint);
  domain->extension_ = factory(options.domain, domain->manager_);
  if (!domain->extension_) return std::unexpected("the provider did not start for this drive");
  domain->calls_ = std::make_shared<ExtensionCalls>(domain->extension_, options.callTimeout);
  // The root's attributes come from the extension when it answers soon; a placeholder
  // otherwise (the change synchroniser brings them later). `tarnix mount` waits for this.
  const ExtensionCalls rootCall(
      domain->extension_,
      std::min<ExtensionCalls::Duration>(options.callTimeout, std::chrono::seconds(5)));
  if (auto root = rootCall.item(fp::ItemIdentifier::rootContainer()); root)
    (void)domain->store_->upsert(**root);
  domain->contents_ = std::make_shared<ContentReplica>(domain->store_, domain->calls_,
                                                       contentOptions, logger.child("contents"));
  domain->bridge_ = std::make_shared<FuseBridge>(domain->store_, domain->calls_, domain->contents_,
                                                 options.bridge, logger.child("fuse"));
  domain->synchronizer_ = std::make_shared<ChangeSynchronizer>(
      domain->calls_, domain->store_, domain->contents_, domain->bridge_, logger.child("changes"));
  std::weak_ptr<ChangeSynchronizer> weak = domain->synchronizer_;
  domain->manager_->setSignalHandler([weak](const fp::ItemIdentifier&) {
    if (auto sync = weak.lock()) sync->signal();
  });
  if (auto mounted = domain->bridge_->mount(options.mountPoint); !mounted) {
    domain->manager_->setSignalHandler(nullptr);
    domain->contents_->stop();
    domain->extension_->invalidate();
    domain->down_ = true;
    return std::unexpected(mounted.error());
  }
  domain->synchronizer_->start();
  return domain;
}

MountedDomain::~MountedDomain() {
  unmount();
}

int MountedDomain::run() {
  return bridge_->run();
}

void MountedDomain::runInBackground() {
  if (!loop_.joinable()) loop_ = std::thread([this] { bridge_->run(); });
}

void MountedDomain::unmount() {
  if (down_) return;
  down_ = true;
  // A start that failed part of the way has made only some of these.
  if (manager_) manager_->setSignalHandler(nullptr);
  if (bridge_) bridge_->unmount();
  if (loop_.joinable()) loop_.join();
  if (synchronizer_) synchronizer_->stop();
  if (contents_) contents_->stop();
  if (extension_) extension_->invalidate();
  if (bridge_) bridge_->joinUploads();
}

}  // namespace tarnix::host
