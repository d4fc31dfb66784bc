// The provider's change requests: the checks made before a creation, modification or deletion
// reaches the sync service, and the translation of its results for the framework.
#include <utility>

#include "base/Uuid.hpp"
#include "common/UnwantedItemRules.hpp"
#include "fileprovider/Provider.hpp"

namespace tarnix::fileprovider {

namespace {

using common::SyncError;
using common::SyncItem;

fp::ProgressPtr finished() {
  auto progress = fp::Progress::make(1);
  progress->setCompletedUnitCount(1);
  return progress;
}

// The fields a modification carries out: a new name or parent. The others are kept by the
// system alone (dates of use, tags, flags) or join with their service (contents).
constexpr auto kHandledFields = fp::ItemFields::filename | fp::ItemFields::parentItemIdentifier |
                                fp::ItemFields::lastUsedDate | fp::ItemFields::tagData |
                                fp::ItemFields::favoriteRank | fp::ItemFields::fileSystemFlags |
                                fp::ItemFields::extendedAttributes | fp::ItemFields::creationDate |
                                fp::ItemFields::contentModificationDate;

base::LoggerMetadata with(base::LoggerMetadata metadata, std::string_view key,
                          base::LoggerMetadataValue value) {
  metadata.set(key, std::move(value));
  return metadata;
}

}  // namespace

bool Provider::isTemporaryItem(const std::string& filename, bool isFolder) const {
  return common::UnwantedItemRules::defaultRules().matches(
      filename, isFolder ? common::ItemType::folder : common::ItemType::file);
}

std::expected<SyncItem, fp::Error> Provider::changedItem(
    const common::SyncItemIdentifier& identifier, const fp::ItemIdentifier& requested) const {
  auto found = itemStorage_->item(identifier);
  if (found) return *found;
  const auto* sync = found.error().syncError();
  if (sync && sync->code() == SyncError::Code::noSuchItem)
    return std::unexpected(fp::Error::forNonExistentItem(requested));
  return std::unexpected(converter_->convert(found.error()));
}

fp::Error Provider::changeError(const SyncCloudError& error) const {
  if (const auto* sync = error.syncError()) return converter_->convert(*sync);
  return downloadError(error);
}

fp::ProgressPtr Provider::createItem(fp::ItemPtr itemTemplate, fp::ItemFields fields,
                                     const std::optional<std::filesystem::path>& contents,
                                     fp::CreateItemOptions options, const fp::Request&,
                                     ChangeItemCompletion completion) {
  const auto parentID = itemTemplate ? itemTemplate->parentItemIdentifier() : fp::ItemIdentifier();
  auto parent = parse(parentID, "Invalid parent ID given by system to createItem()");
  if (!itemTemplate || !parent) {
    completion(nullptr, fp::ItemFields::none, false, fp::Error::forNonExistentItem(parentID));
    return finished();
  }
  const auto operationID = base::makeUuid();
  const auto filename = itemTemplate->filename();
  const bool isFolder = itemTemplate->isFolder();
  base::LoggerMetadata where{{"itemID", itemTemplate->itemIdentifier().rawValue()},
                             {"parentID", parent->description()},
                             {"filename", filename},
                             {"opID", operationID}};
  const bool importing = fp::contains(options, fp::CreateItemOptions::mayAlreadyExist);
  if (itemTemplate->contentType() == fp::kContentTypeSymbolicLink) {
    logger_.info("Ignoring symbolic link", where);
    completion(itemTemplate, fp::ItemFields::none, false, std::nullopt);
    return finished();
  }
  if (isTemporaryItem(filename, isFolder)) {
    logger_.info("Creation of temporary file/folder rejected", where);
    completion(nullptr, fp::ItemFields::none, false,
               fp::Error(fp::FileProviderErrorCode::excludedFromSync));
    return finished();
  }
  if (parentID.isTrashContainer()) {
    logger_.info("Erasing a new item that was moved to Trash", where);
    completion(itemTemplate, fp::ItemFields::none, false, std::nullopt);
    return finished();
  }
  const auto parentFolder = parent->folder();
  if (!parentFolder) {
    completion(nullptr, fp::ItemFields::none, false, fp::Error::forNonExistentItem(parentID));
    return finished();
  }
  // An item the system re-creates after its deletion conflicted with a change elsewhere, or
  // one it imports: what the store holds at that place is the item.
  if (importing || fp::contains(options, fp::CreateItemOptions::deletionConflicted)) {
    logger_.info(importing ? "Importing item ..." : "Creating item ...", where);
    if (!importing && skipsService_ &&
        skipsService_->deletionConflictSkip(*parentFolder, filename)) {
      logger_.info("Found a deletionConflicted skip", where);
    }
    auto existing = itemStorage_->childItem(*parentFolder, filename);
    if (existing && *existing && (*existing)->isFolder() == isFolder) {
      logger_.info(importing ? "Importing item done"
                             : "Returning available item from storage in response to "
                               "deletionConflicted item",
                   where);
      if (!importing) {
        cloud_.analytics->send({"deletion_conflict",
                                {{"detectedByPreviousSkip", false},
                                 {"detectedByFP", true},
                                 {"ignoredAsUploadIsInprogress", false}}});
      }
      completion(converter_->item(**existing), fp::ItemFields::none, false, std::nullopt);
      return finished();
    }
  }
  if (!isFolder && !contents) {
    logger_.error(
        "Contents are missing when creating file of " + itemTemplate->contentType() + " type",
        where);
    completion(nullptr, fp::ItemFields::none, false,
               fp::Error(fp::CocoaErrorCode::fileReadNoPermission));
    return finished();
  }
  if (!isFolder) {
    // New files are uploaded once uploads exist; until then they stay local.
    logger_.error("Creating file failed", with(where, "error", "uploads are not supported"));
    completion(nullptr, fp::ItemFields::none, false, fp::Error::unsupportedFeature());
    return finished();
  }
  (void)fields;

  logger_.info(importing ? "Importing item ..." : "Creating item ...", where);
  auto progress = fp::Progress::make(1);
  auto self = shared_from_this();
  cloud_.syncService->willCreateItem(
      *parentFolder, filename, itemTemplate->itemIdentifier().rawValue(), /*isFolder=*/true,
      [=](SyncCloudResult<common::BeginNewItemResult> begun) {
        auto fail = [=](const SyncCloudError& error) {
          self->logger_.error(importing ? "Importing item failed" : "Creating folder failed",
                              with(where, "error", error.description()));
          completion(nullptr, fp::ItemFields::none, false, self->changeError(error));
        };
        if (!begun) return fail(begun.error());
        auto created = self->cloud_.syncService->createFolder(
            *begun, filename, itemTemplate->itemIdentifier().rawValue(),
            [=](SyncCloudResult<SyncService::CreatedItem> result) {
              if (!result) return fail(result.error());
              self->logger_.info(
                  importing ? "Importing item done" : "Creating item done",
                  with(where, "newItemID", result->item.itemIdentifier.description()));
              completion(self->converter_->item(result->item), fp::ItemFields::none, false,
                         std::nullopt);
            });
        progress->addChild(created, 1);
      });
  return progress;
}

fp::ProgressPtr Provider::modifyItem(fp::ItemPtr item, const fp::ItemVersion& baseVersion,
                                     fp::ItemFields changedFields,
                                     const std::optional<std::filesystem::path>& contents,
                                     fp::ModifyItemOptions options, const fp::Request&,
                                     ChangeItemCompletion completion) {
  const auto requested = item ? item->itemIdentifier() : fp::ItemIdentifier();
  auto identifier = parse(requested, "Unknown item ID given to modifyItem()");
  if (!item || !identifier) {
    completion(nullptr, fp::ItemFields::none, false, fp::Error::forNonExistentItem(requested));
    return finished();
  }
  const auto operationID = base::makeUuid();
  base::LoggerMetadata where{{"itemID", identifier->description()}, {"opID", operationID}};
  if (fp::contains(options, fp::ModifyItemOptions::mayAlreadyExist)) {
    logger_.warning(".mayAlreadyExist option is not supported (modifyItem)", where);
  }
  auto stored = changedItem(*identifier, requested);
  if (!stored) {
    completion(nullptr, fp::ItemFields::none, false, stored.error());
    return finished();
  }
  auto fail = [&](const char* text, fp::Error error) {
    logger_.error(text, where);
    completion(nullptr, fp::ItemFields::none, false, std::move(error));
    return finished();
  };
  const bool renames = fp::contains(changedFields, fp::ItemFields::filename);
  const bool reparents = fp::contains(changedFields, fp::ItemFields::parentItemIdentifier);
  if (renames && item->filename().empty()) {
    return fail("Empty filename given by system",
                fp::Error::wrapping(bridgedError(
                    SyncError::uploadRejected(common::UploadRejectionReason::invalidFilename))));
  }
  if (fp::contains(changedFields, fp::ItemFields::contents) && !contents) {
    return fail(".contents set in changedFields, but no contents URL passed",
                fp::Error(fp::CocoaErrorCode::fileReadNoPermission));
  }
  if (auto unsupported = changedFields & ~(kHandledFields | fp::ItemFields::contents);
      unsupported != fp::ItemFields::none) {
    std::string names;
    for (const auto& name : fp::fieldNames(unsupported))
      names += (names.empty() ? "" : ", ") + name;
    logger_.warning("Unsupported fields were modified [" + names + "]", where);
  }
  if (isTemporaryItem(item->filename(), stored->isFolder())) {
    return fail("Modification of temporary file/folder rejected",
                fp::Error(fp::FileProviderErrorCode::excludedFromSync));
  }
  if (reparents && item->parentItemIdentifier().isTrashContainer()) {
    // There is no trash to keep it in: moving an item there deletes it.
    logger_.info("Erasing a synced item that was moved to Trash", where);
    return deleteItem(requested, baseVersion, fp::DeleteItemOptions::recursive, {},
                      [completion, item](std::optional<fp::Error> error) {
                        completion(error ? nullptr : item, fp::ItemFields::none, false, error);
                      });
  }
  if (fp::contains(changedFields, fp::ItemFields::contents)) {
    return fail("Modifying item failed", fp::Error::unsupportedFeature());
  }
  std::optional<SyncItem> newParent;
  if (reparents) {
    auto parentIdentifier =
        parse(item->parentItemIdentifier(), "Invalid parent ID given by system for reparenting");
    if (!parentIdentifier)
      return fail("Modifying item failed",
                  fp::Error::forNonExistentItem(item->parentItemIdentifier()));
    auto parent = changedItem(*parentIdentifier, item->parentItemIdentifier());
    if (!parent) return fail("Modifying item failed", parent.error());
    newParent = std::move(*parent);
  }
  TLOG_DEBUG(logger_,
             "Modification for " + identifier->description() + " will be handled immediately.");
  logger_.info("Modifying item ...", where);
  if (!renames && !reparents) {
    logger_.info("Modifying item done", where);
    completion(converter_->item(*stored), fp::ItemFields::none, false, std::nullopt);
    return finished();
  }
  auto self = shared_from_this();
  return cloud_.syncService->moveItem(
      *stored, std::move(newParent), renames ? item->filename() : stored->filename,
      [=](SyncCloudResult<SyncItem> moved) {
        if (!moved) {
          self->logger_.error("Modifying item failed",
                              with(where, "error", moved.error().description()));
          completion(nullptr, fp::ItemFields::none, false, self->changeError(moved.error()));
          return;
        }
        self->logger_.info("Modifying item done", where);
        completion(self->converter_->item(*moved), fp::ItemFields::none, false, std::nullopt);
      });
}

fp::ProgressPtr Provider::deleteItem(const fp::ItemIdentifier& identifier,
                                     const fp::ItemVersion& baseVersion,
                                     fp::DeleteItemOptions options, const fp::Request&,
                                     ErrorCompletion completion) {
  auto parsed = parse(identifier, "Invalid item ID given by system to deleteItem()");
  if (!parsed) {
    completion(fp::Error::forNonExistentItem(identifier));
    return finished();
  }
  const auto operationID = base::makeUuid();
  base::LoggerMetadata where{{"itemID", parsed->description()}, {"opID", operationID}};
  logger_.info("Deleting item ...", where);
  auto stored = changedItem(*parsed, identifier);
  if (!stored) {
    // Gone already: what the system wants is done.
    if (stored.error().is(fp::FileProviderErrorCode::noSuchItem)) {
      logger_.info("Deleting item done", where);
      completion(std::nullopt);
    } else {
      logger_.error("Deleting item failed", where);
      completion(stored.error());
    }
    return finished();
  }
  std::optional<common::CloudEntryIdentifier> base;
  if (!stored->isFolder() && !baseVersion.contentVersion.empty())
    base = common::CloudEntryIdentifier{baseVersion.contentVersion};
  auto self = shared_from_this();
  return cloud_.syncService->deleteItem(
      *stored, fp::contains(options, fp::DeleteItemOptions::recursive), base,
      [=](SyncCloudResult<void> deleted) {
        if (!deleted) {
          self->logger_.error("Deleting item failed",
                              with(where, "error", deleted.error().description()));
          completion(self->changeError(deleted.error()));
          return;
        }
        self->logger_.info("Deleting item done", where);
        completion(std::nullopt);
      });
}

}  // namespace tarnix::fileprovider
