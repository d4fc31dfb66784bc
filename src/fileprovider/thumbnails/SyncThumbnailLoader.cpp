#include "fileprovider/thumbnails/SyncThumbnailLoader.hpp"

#include <algorithm>
#include <cmath>

namespace tarnix::fileprovider {

namespace {

constexpr std::int64_t kSmallestSide = 64;
constexpr std::int64_t kLargestSide = 1024;

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowercased(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(), asciiLower);
  return out;
}

/// Lower case, without a leading '.', no empty or repeated entries.
std::vector<std::string> normalisedExtensions(const std::vector<std::string>& configured) {
  std::vector<std::string> out;
  for (const auto& entry : configured) {
    std::string_view text = entry;
    if (text.starts_with('.')) text.remove_prefix(1);
    if (text.empty()) continue;
    auto extension = lowercased(text);
    if (std::ranges::find(out, extension) == out.end()) out.push_back(std::move(extension));
  }
  return out;
}

SyncCloudError cancellationError() {
  return SyncCloudError(cloudfs::CloudFSSessionError(
      cloudfs::URLError{cloudfs::URLError::Code::cancelled, "Thumbnail fetch cancelled", {}}));
}

}  // namespace

ThumbnailDimensions thumbnailDimensions(double width, double height) {
  auto side = [](double value) { return std::isfinite(value) && value > 0 ? value : 0.0; };
  const double wanted = std::max(side(width), side(height));
  std::int64_t box = kSmallestSide;
  while (box < kLargestSide && static_cast<double>(box) < wanted) box *= 2;
  return {box, box};
}

std::optional<std::string> lowercasedExtension(std::string_view filename) {
  const auto dot = filename.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == filename.size()) {
    return std::nullopt;
  }
  return lowercased(filename.substr(dot + 1));
}

void SyncThumbnailFetch::cancel() {
  cloudfs::CloudFSSessionTask task;
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    task = task_;
  }
  task.cancel();
}

std::shared_ptr<SyncThumbnailLoader> SyncThumbnailLoader::make(
    std::shared_ptr<common::SyncItemStorage> itemStorage,
    std::shared_ptr<ThumbnailCloudClient> cloudClient,
    std::shared_ptr<common::DriveConfigurationProvider> configurationProvider,
    base::Logger logger) {
  return std::shared_ptr<SyncThumbnailLoader>(
      new SyncThumbnailLoader(std::move(itemStorage), std::move(cloudClient),
                              std::move(configurationProvider), std::move(logger)));
}

SyncThumbnailLoader::SyncThumbnailLoader(
    std::shared_ptr<common::SyncItemStorage> itemStorage,
    std::shared_ptr<ThumbnailCloudClient> cloudClient,
    std::shared_ptr<common::DriveConfigurationProvider> configurationProvider, base::Logger logger)
    : itemStorage_(std::move(itemStorage)),
      cloudClient_(std::move(cloudClient)),
      configurationProvider_(std::move(configurationProvider)),
      logger_(std::move(logger)),
      syncQueue_(base::DispatchQueue::make("com.tarnix.SyncThumbnailLoader")),
      callbackQueue_(base::DispatchQueue::make("com.tarnix.SyncThumbnailLoader.callback")) {}

void SyncThumbnailLoader::start() {
  std::weak_ptr<SyncThumbnailLoader> weak = weak_from_this();
  // Values may reach a new subscriber out of order (the first one from the subscribing thread,
  // a change from the provider's queue): each call only says that the value may have changed,
  // and the queue takes the provider's value at that point.
  auto token = configurationProvider_->subscribe([weak](const common::CloudConfiguration&) {
    auto self = weak.lock();
    if (!self) return;
    self->syncQueue_->async([self] {
      auto extensions =
          normalisedExtensions(self->configurationProvider_->value().thumbnailExtensions);
      if (extensions == self->allowedFilenameExtensions_) return;
      self->logger_.info("Thumbnail extensions changed",
                         base::LoggerMetadata{{"count", extensions.size()}});
      self->allowedFilenameExtensions_ = std::move(extensions);
    });
  });
  std::lock_guard lock(cancellableMutex_);
  cancellable_ = std::move(token);
}

void SyncThumbnailLoader::stop() {
  std::shared_ptr<void> token;
  {
    std::lock_guard lock(cancellableMutex_);
    token = std::move(cancellable_);
  }
}

std::vector<std::string> SyncThumbnailLoader::allowedFilenameExtensions() const {
  return syncQueue_->sync([this] { return allowedFilenameExtensions_; });
}

std::shared_ptr<SyncThumbnailFetch> SyncThumbnailLoader::fetchThumbnail(
    common::SyncItemIdentifier identifier, ThumbnailDimensions size, Completion completion) {
  auto fetch = std::make_shared<SyncThumbnailFetch>();
  syncQueue_->async([self = shared_from_this(), identifier = std::move(identifier), size, fetch,
                     completion = std::move(completion)]() mutable {
    self->load(identifier, size, fetch, std::move(completion));
  });
  return fetch;
}

void SyncThumbnailLoader::answer(Completion completion, SyncThumbnailResult result) const {
  callbackQueue_->async([completion = std::move(completion), result = std::move(result)]() mutable {
    completion(std::move(result));
  });
}

void SyncThumbnailLoader::load(const common::SyncItemIdentifier& identifier,
                               ThumbnailDimensions size,
                               const std::shared_ptr<SyncThumbnailFetch>& fetch,
                               Completion completion) {
  base::LoggerMetadata where{{"itemID", identifier.description()}};
  auto item = itemStorage_->item(identifier);
  if (!item) {
    const auto* sync = item.error().syncError();
    if (!sync || sync->code() != common::SyncError::Code::noSuchItem) {
      auto metadata = where;
      metadata.set("error", item.error().description());
      logger_.error("Reading item for thumbnail failed", std::move(metadata));
    }
    answer(std::move(completion), std::unexpected(SyncThumbnailError(item.error())));
    return;
  }
  if (item->isFolder()) {
    answer(std::move(completion), std::optional<std::string>());
    return;
  }
  const auto extension = lowercasedExtension(item->filename);
  if (!extension || std::ranges::find(allowedFilenameExtensions_, *extension) ==
                        allowedFilenameExtensions_.end()) {
    TLOG_DEBUG(logger_, "No thumbnail for this file name extension", std::move(where));
    answer(std::move(completion), std::optional<std::string>());
    return;
  }

  std::lock_guard lock(fetch->mutex_);
  if (fetch->cancelled_) {
    answer(std::move(completion), std::unexpected(SyncThumbnailError(cancellationError())));
    return;
  }
  auto self = shared_from_this();
  fetch->task_ = cloudClient_->downloadThumbnail(
      *item, size.width, size.height,
      [self, completion = std::move(completion)](
          SyncCloudResult<std::optional<std::string>> result) mutable {
        if (result) {
          self->answer(std::move(completion), std::move(*result));
        } else {
          self->answer(std::move(completion),
                       std::unexpected(SyncThumbnailError(std::move(result.error()))));
        }
      });
}

}  // namespace tarnix::fileprovider
