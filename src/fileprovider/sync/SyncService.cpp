#include "fileprovider/sync/SyncService.hpp"

#include <set>

#include "base/AsyncSteps.hpp"
#include "fileprovider/sync/FilenameRules.hpp"

namespace tarnix::fileprovider {

namespace steps = base::AsyncSteps;
using common::SyncError;
using common::SyncItem;
using steps::Completion;
using steps::Nothing;

namespace {

using Code = SyncError::Code;

SyncCloudError failure(Code code) {
  return SyncCloudError(SyncError(code));
}

bool isWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

template <class T>
auto finish(SyncClientProtocol::ResultHandler<T> handler) {
  return [handler = std::move(handler)](std::expected<T, SyncCloudError> result) {
    handler(std::move(result));
  };
}

void removeChunks(const std::shared_ptr<common::ChunkUploadStorage>& chunks,
                  const base::Logger& logger, const common::SyncItemIdentifier& item) {
  if (!chunks) return;
  if (auto removed = chunks->removeAllChunks(item); !removed) {
    logger.error("Failed to remove chunk upload details",
                 {{"itemID", item.description()}, {"error", removed.error().description()}});
  }
}

}  // namespace

std::string trimmedFilename(const std::string& name) {
  std::size_t begin = 0;
  std::size_t end = name.size();
  while (begin < end && isWhiteSpace(name[begin])) ++begin;
  while (end > begin && isWhiteSpace(name[end - 1])) --end;
  return name.substr(begin, end - begin);
}

bool isMoveAnUpdate(const SyncItem& item,
                    const std::optional<common::SyncFolderIdentifier>& newParent,
                    const std::string& newFilename) {
  return (newParent && *newParent != item.parentItemIdentifier) || newFilename != item.filename;
}

SyncService::SyncService(Collaborators collaborators, base::Logger logger)
    : c_(std::move(collaborators)), logger_(std::move(logger)) {}

void SyncService::willCreateItem(const common::SyncFolderIdentifier& parent,
                                 const std::string& filename,
                                 const std::optional<std::string>& systemItemIdentifier,
                                 bool isFolder,
                                 ResultHandler<common::BeginNewItemResult> completionHandler) {
  auto storage = c_.itemStorage;
  auto logger = logger_;
  auto begin = [=]() -> SyncCloudResult<common::BeginNewItemResult> {
    auto begun = storage->beginNewItem(parent, filename, systemItemIdentifier, isFolder);
    if (!begun) {
      const auto* sync = begun.error().syncError();
      return std::unexpected(sync ? SyncCloudError(*sync) : failure(Code::badServerResponse));
    }
    if (!common::allowsEditing(begun->parentItem)) {
      logger.warning("No permission to create item",
                     {{"parentID", parent.description()}, {"filename", filename}});
      return std::unexpected(failure(Code::permissionDenied));
    }
    return std::move(*begun);
  };
  auto stored = storage->item(parent);
  // A folder never listed has neither its cloud identifier nor its permission yet.
  if (stored && !stored->cloudIdentifier && c_.listFolder) {
    c_.listFolder(parent, [=](std::optional<SyncCloudError> error) {
      if (error) return completionHandler(std::unexpected(*error));
      completionHandler(begin());
    });
    return;
  }
  auto result = begin();
  queue_->async([completionHandler, result = std::move(result)] { completionHandler(result); });
}

fp::ProgressPtr SyncService::createFolder(const common::BeginNewItemResult& begun,
                                          std::string filename,
                                          std::optional<std::string> originalItemIdentifier,
                                          ResultHandler<CreatedItem> completionHandler) {
  auto progress = fp::Progress::make(1);
  const auto& parent = begun.parentItem;
  const auto parentID = *parent.itemIdentifier.folder();
  auto storage = c_.itemStorage;
  auto logger = logger_;
  auto client = c_.syncClient;
  auto deletions = c_.deletionManager;
  const auto synchronized = fp::ItemFields::filename | fp::ItemFields::parentItemIdentifier;

  auto listFolder = c_.listFolder;

  auto chain =
      steps::begin()
          ->setFailureType<SyncCloudError>()
          // A folder never listed is known by its path alone: its listing brings the cloud's
          // identifier, which the new item's request needs.
          ->then([=](Nothing, Completion<SyncItem, SyncCloudError> done) {
            if (parent.cloudIdentifier || !listFolder) return done(parent);
            listFolder(parentID, [=](std::optional<SyncCloudError> error) {
              if (error) return done.fail(*error);
              auto listed = storage->item(parent.itemIdentifier);
              if (!listed) return done.fail(failure(Code::noSuchItem));
              done(std::move(*listed));
            });
          })
          // A retried creation: the item exists already.
          ->zip([=](const SyncItem&, Completion<std::optional<SyncItem>, SyncCloudError> done) {
            if (!begun.retryDetected || !originalItemIdentifier) return done(std::nullopt);
            auto existing = storage->item(*originalItemIdentifier);
            done(existing && *existing ? std::optional<SyncItem>(**existing) : std::nullopt);
          })
          ->then([=](std::pair<SyncItem, std::optional<SyncItem>> found,
                     Completion<SyncItem, SyncCloudError> done) {
            auto& [listedParent, retried] = found;
            if (retried) return done(std::move(listedParent));
            if (listedParent.itemRealm != common::SyncItemRealm::offline) {
              if (auto rejection = filenameRejection(filename)) {
                logger.warning("Folder name rejected",
                               {{"filename", filename}, {"reason", description(*rejection)}});
                return done.fail(SyncError::uploadRejected(*rejection));
              }
            }
            if (begun.existingItem) {
              logger.error("Collisions are not pretty (folder)",
                           {{"filename", filename}, {"parentID", parentID.description()}});
            }
            if (!common::allowsEditing(listedParent)) {
              logger.warning("No permission to create item",
                             {{"parentID", parentID.description()}, {"filename", filename}});
              return done.fail(failure(Code::permissionDenied));
            }
            done(std::move(listedParent));
          })
          ->then([=](SyncItem listedParent, Completion<SyncItem, SyncCloudError> done) {
            if (begun.retryDetected && originalItemIdentifier) {
              if (auto existing = storage->item(*originalItemIdentifier); existing && *existing)
                return done(**existing);
            }
            // Whatever waited to be deleted at this place stays deleted here: the new item
            // takes its place.
            if (deletions) deletions->cancelDelayedDeletion(parentID, filename);
            storage->willStartCreatingNewItem(filename, parentID);
            auto request = client->createFolder(
                listedParent, filename, [=](SyncCloudResult<SyncItem> created) mutable {
                  storage->didFinishCreatingNewItem({filename, parentID});
                  if (!created) return done.fail(created.error());
                  auto item = std::move(*created);
                  item.systemItemIdentifier = originalItemIdentifier;
                  auto stored = storage->storeNewItem(item);
                  if (stored) return done(std::move(*stored));
                  // A listing stored the folder first: that row is the folder.
                  auto child = storage->childItem(parentID, filename);
                  if (child && *child) return done(std::move(**child));
                  logger.error("Storing created folder failed",
                               {{"filename", filename}, {"error", stored.error().description()}});
                  done.fail(failure(Code::badServerResponse));
                });
            progress->addChild(request, 1);
          })
          ->map([=](SyncItem item) {
            return CreatedItem{std::move(item), synchronized};
          });
  chain->execute(Nothing{}, finish(std::move(completionHandler)));
  return progress;
}

fp::ProgressPtr SyncService::moveItem(const SyncItem& item, std::optional<SyncItem> newParent,
                                      std::string filename,
                                      ResultHandler<SyncItem> completionHandler) {
  auto progress = fp::Progress::make(1);
  auto storage = c_.itemStorage;
  auto logger = logger_;
  auto client = c_.syncClient;
  const auto itemID = item.itemIdentifier.description();
  struct Move {
    std::optional<SyncItem> newParent;
    std::string filename;
  };

  auto chain =
      steps::begin()
          ->setFailureType<SyncCloudError>()
          ->map([=](Nothing) {
            auto trimmed = trimmedFilename(filename);
            if (trimmed != filename)
              logger.info("Rename did trim whitespaces", {{"itemID", itemID}});
            // A new parent that is the present one is no move.
            auto parent = newParent;
            if (parent &&
                parent->itemIdentifier == common::SyncItemIdentifier(item.parentItemIdentifier))
              parent.reset();
            return Move{std::move(parent), std::move(trimmed)};
          })
          ->then([=](Move move, Completion<Move, SyncCloudError> done) {
            if (!move.newParent) return done(std::move(move));
            const bool fromOffline = item.itemRealm == common::SyncItemRealm::offline;
            const bool toOffline = move.newParent->itemRealm == common::SyncItemRealm::offline;
            if (fromOffline != toOffline) {
              logger.warning("Refusing move between different realms", {{"itemID", itemID}});
              return done.fail(failure(Code::permissionDenied));
            }
            if (item.subscriptionState && toOffline) {
              logger.warning("Refusing offline root move into offline realm", {{"itemID", itemID}});
              return done.fail(failure(Code::permissionDenied));
            }
            done(std::move(move));
          })
          ->then([=](Move move, Completion<std::optional<Move>, SyncCloudError> done) {
            std::optional<common::SyncFolderIdentifier> parentID;
            if (move.newParent) parentID = *move.newParent->itemIdentifier.folder();
            if (!isMoveAnUpdate(item, parentID, move.filename)) return done(std::nullopt);
            if (move.newParent && !common::allowsMovingAndDeleting(item)) {
              logger.warning("No permission to reparent item", {{"itemID", itemID}});
              return done.fail(failure(Code::permissionDenied));
            }
            if (move.newParent && !common::allowsEditing(*move.newParent)) {
              logger.warning("No permission to create item",
                             {{"itemID", itemID}, {"parentID", parentID->description()}});
              return done.fail(failure(Code::permissionDenied));
            }
            if (move.filename != item.filename && !common::allowsRenaming(item)) {
              logger.warning("No permission to rename item", {{"itemID", itemID}});
              return done.fail(failure(Code::permissionDenied));
            }
            done(std::move(move));
          })
          ->then(
              [=](std::optional<Move> move, Completion<std::optional<Move>, SyncCloudError> done) {
                if (!move || move->filename == item.filename) return done(std::move(move));
                const auto destination = move->newParent ? *move->newParent->itemIdentifier.folder()
                                                         : item.parentItemIdentifier;
                auto collision = storage->childItem(destination, move->filename);
                const bool hasCollision =
                    collision && *collision && (*collision)->itemIdentifier != item.itemIdentifier;
                auto rejection = filenameRejection(move->filename);
                logger.info("Checking rename", {{"itemID", itemID},
                                                {"requested", move->filename},
                                                {"hasCollision", hasCollision},
                                                {"isEmpty", move->filename.empty()},
                                                {"isHidden", move->filename.starts_with(".")}});
                if (rejection) return done.fail(SyncError::uploadRejected(*rejection));
                done(std::move(move));
              })
          ->then([=](std::optional<Move> move, Completion<SyncItem, SyncCloudError> done) {
            if (!move) {
              logger.info("Nothing to move", {{"itemID", itemID}});
              return done(item);
            }
            logger.info("Moving item ...", {{"itemID", itemID}});
            std::optional<std::string> newName;
            if (move->filename != item.filename) newName = move->filename;
            auto request = client->moveItem(
                item, move->newParent, newName, [=](SyncCloudResult<SyncItem> moved) {
                  if (!moved) {
                    logger.error("Moving item failed",
                                 {{"itemID", itemID}, {"error", moved.error().description()}});
                    return done.fail(moved.error());
                  }
                  common::PatchedSyncItem patched(item);
                  patched.setParentItemIdentifier(moved->parentItemIdentifier);
                  patched.setFilename(moved->filename);
                  auto stored = storage->update(patched);
                  if (!stored) {
                    // The cloud moved it; the next listing of either folder catches up.
                    logger.error("Storing moved item failed",
                                 {{"itemID", itemID}, {"error", stored.error().description()}});
                    return done(std::move(*moved));
                  }
                  logger.info("Moving item done", {{"itemID", itemID}});
                  done(std::move(*stored));
                });
            progress->addChild(request, 1);
          });
  chain->execute(Nothing{}, finish(std::move(completionHandler)));
  return progress;
}

fp::ProgressPtr SyncService::deleteItem(
    const SyncItem& item, bool recursive,
    std::optional<common::CloudEntryIdentifier> baseContentVersion,
    ResultHandler<void> completionHandler) {
  auto progress = fp::Progress::make(1);
  auto storage = c_.itemStorage;
  auto logger = logger_;
  auto deletions = c_.deletionManager;
  auto listFolder = c_.listFolder;
  auto skips = c_.skipsService;
  auto chunks = c_.chunkUploadStorage;
  const bool skipsEnabled = c_.featureList && c_.featureList->isEnabled(common::Feature::skips);
  const auto itemID = item.itemIdentifier.description();

  auto aliveChildren = [storage](const common::SyncFolderIdentifier& folder) {
    std::set<common::SyncItemIdentifier> children;
    if (auto listed = storage->enumerateAllItems(folder)) {
      for (const auto& child : *listed) children.insert(child.itemIdentifier);
    }
    return children;
  };

  auto chain =
      steps::begin()
          ->setFailureType<SyncCloudError>()
          ->then([=](Nothing, Completion<Nothing, SyncCloudError> done) {
            if (!common::allowsMovingAndDeleting(item)) {
              logger.warning("No permission to delete item", {{"itemID", itemID}});
              return done.fail(SyncError::deletionRejected(item));
            }
            done(Nothing{});
          })
          // What the store knows of a folder is only as fresh as its last listing: the cloud
          // is asked before the folder goes.
          ->then([=](Nothing, Completion<Nothing, SyncCloudError> done) {
            if (!item.isFolder() || !listFolder) return done(Nothing{});
            const auto folder = *item.itemIdentifier.folder();
            auto known = aliveChildren(folder);
            listFolder(folder, [=](std::optional<SyncCloudError> error) {
              if (error) {
                const auto* sync = error->syncError();
                // A folder the cloud no longer has is as good as deleted.
                if (!sync || sync->code() != Code::noSuchItem) {
                  logger.error("Listing folder before deletion failed",
                               {{"itemID", itemID}, {"error", error->description()}});
                  return done.fail(*error);
                }
              }
              auto now = aliveChildren(folder);
              bool refused = false;
              if (!recursive) {
                refused = !now.empty();
              } else if (!known.empty()) {
                // The caller deleted what it was shown; a child added since is nobody's to
                // delete. A folder whose children were never shown goes whole, as asked.
                for (const auto& child : now) refused = refused || !known.contains(child);
                if (refused)
                  logger.warning("Folder has children nobody saw, not deleting",
                                 {{"itemID", itemID}});
              }
              if (refused) {
                logger.warning("Directory not empty - cannot be deleted", {{"itemID", itemID}});
                return done.fail(failure(Code::directoryNotEmpty));
              }
              done(Nothing{});
            });
          })
          ->then([=](Nothing, Completion<Nothing, SyncCloudError> done) {
            deletions->deleteItem(item, baseContentVersion, [=](SyncCloudResult<void> deleted) {
              if (!deleted) return done.fail(deleted.error());
              done(Nothing{});
            });
          })
          ->onSuccess([=](const Nothing&) {
            if (skipsEnabled && skips) skips->itemWasDeleted(itemID);
            removeChunks(chunks, logger, item.itemIdentifier);
            progress->setCompletedUnitCount(1);
          });
  chain->execute(Nothing{}, [completionHandler = std::move(completionHandler)](
                                std::expected<Nothing, SyncCloudError> result) {
    if (result)
      completionHandler({});
    else
      completionHandler(std::unexpected(result.error()));
  });
  return progress;
}

void SyncService::removeChunksIfPresent(const common::SyncItemIdentifier& item) const {
  removeChunks(c_.chunkUploadStorage, logger_, item);
}

template <class T>
SyncService::ResultHandler<T> SyncService::logged(const SyncItem& item,
                                                  ResultHandler<T> handler) const {
  return [logger = logger_, itemID = item.itemIdentifier.description(),
          handler = std::move(handler)](SyncCloudResult<T> result) {
    if (!result && !result.error().isCancellation()) {
      logger.error("Received error while downloading content",
                   {{"itemID", itemID}, {"error", result.error().description()}});
    }
    handler(std::move(result));
  };
}

fp::ProgressPtr SyncService::downloadFile(
    const SyncItem& item, std::filesystem::path destination,
    std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    fp::FetchContentsOptions options, ResultHandler<SyncItem> completionHandler) {
  return c_.syncClient->downloadFile(item, std::move(destination),
                                     std::move(requestedContentVersion), options,
                                     logged(item, std::move(completionHandler)));
}

fp::ProgressPtr SyncService::downloadFilePartially(
    const SyncItem& item, std::filesystem::path destination, cloudfs::ByteRange requestedRange,
    std::int64_t alignment, std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    fp::FetchContentsOptions options, ResultHandler<PartialFetchOutputContext> completionHandler) {
  return c_.syncClient->downloadFilePartially(item, std::move(destination), requestedRange,
                                              alignment, std::move(requestedContentVersion),
                                              options, logged(item, std::move(completionHandler)));
}

}  // namespace tarnix::fileprovider
