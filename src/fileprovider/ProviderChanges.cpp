// The provider's change requests: the checks made before a creation, modification or deletion
// reaches the sync service, and the translation of its results for the framework.
#include <algorithm>
#include <utility>

#include "base/Hash.hpp"
#include "base/Uuid.hpp"
#include "common/UnwantedItemRules.hpp"
#include "fileprovider/Provider.hpp"

namespace tarnix::fileprovider {

namespace {

using common::SyncError;
using common::SyncItem;

// The drafts folder of a drive; renaming or moving it is reported.
constexpr std::string_view kDraftsFolderPath = "/Private/Drafts";

fp::ProgressPtr finished() {
  auto progress = fp::Progress::make(1);
  progress->setCompletedUnitCount(1);
  return progress;
}

// The fields a modification carries out besides new contents: a new name or parent. The others
// are kept by the system alone (dates of use, tags, flags).
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
    const auto uploading = cloud_.syncService->uploadsInProgress(*parentFolder);
    if (!importing && std::ranges::find(uploading, filename) != uploading.end()) {
      // The upload under way makes the item; a second creation would race it to the name.
      logger_.info("Ignoring deletionConflicted item as an upload is in progress", where);
      cloud_.analytics->send({"deletion_conflict",
                              {{"detectedByPreviousSkip", false},
                               {"detectedByFP", true},
                               {"ignoredAsUploadIsInprogress", true}}});
      completion(itemTemplate, fp::ItemFields::none, false, std::nullopt);
      return finished();
    }
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
  (void)fields;
  if (!isFolder)
    return createFile(itemTemplate, *parentFolder, *contents, importing, where,
                      std::move(completion));

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
  const bool editsContents = fp::contains(changedFields, fp::ItemFields::contents);
  if (editsContents && !identifier->file()) {
    return fail("Invalid item ID given for editing contents",
                fp::Error::forNonExistentItem(requested));
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
  if (stored->isFolder() && (renames || reparents))
    reportDraftsFolderChange(*stored, newParent, renames ? item->filename() : stored->filename);
  auto self = shared_from_this();
  // New contents go first; a rename or move of the same request follows on the new version.
  auto move = [=](SyncItem current, bool shouldFetchContent) {
    if (!renames && !reparents) {
      self->logger_.info("Modifying item done", where);
      completion(self->converter_->item(current), fp::ItemFields::none, shouldFetchContent,
                 std::nullopt);
      return finished();
    }
    return self->cloud_.syncService->moveItem(
        current, newParent, renames ? item->filename() : current.filename,
        [=](SyncCloudResult<SyncItem> moved) {
          if (!moved) {
            self->logger_.error("Modifying item failed",
                                with(where, "error", moved.error().description()));
            completion(nullptr, fp::ItemFields::none, false, self->changeError(moved.error()));
            return;
          }
          self->logger_.info("Modifying item done", where);
          completion(self->converter_->item(*moved), fp::ItemFields::none, shouldFetchContent,
                     std::nullopt);
        });
  };
  if (!editsContents) return move(*stored, false);

  std::error_code ec;
  const auto size = std::filesystem::file_size(*contents, ec);
  if (ec) {
    return fail("Modifying item failed", fp::Error(fp::CocoaErrorCode::fileReadNoPermission));
  }
  if (computeChecksumOfUserFacingFile()) logChecksum(requested, *contents, where);
  CloudEntryUploadParams params;
  // The version the edit was made from: when the cloud has another by now, it keeps both.
  if (!baseVersion.contentVersion.empty())
    params.baseContentVersion = common::CloudEntryIdentifier{baseVersion.contentVersion};
  params.contentModificationDate = item->contentModificationDate();
  params.contentSize = static_cast<std::int64_t>(size);
  params.contentsURL = *contents;
  auto progress = fp::Progress::make(2);
  auto edited = cloud_.syncService->editItem(
      *stored, std::move(params), item->contentType(), operationID,
      [=](SyncCloudResult<SyncService::EditItemOutput> output) {
        if (!output) {
          self->logger_.error("Modifying item failed",
                              with(where, "error", output.error().description()));
          completion(nullptr, fp::ItemFields::none, false, self->changeError(output.error()));
          return;
        }
        progress->addChild(move(output->item, output->shouldRedownloadContent), 1);
      });
  progress->addChild(edited, 1);
  return progress;
}

fp::ProgressPtr Provider::createFile(fp::ItemPtr itemTemplate,
                                     const common::SyncFolderIdentifier& parent,
                                     const std::filesystem::path& contents, bool importing,
                                     base::LoggerMetadata where, ChangeItemCompletion completion) {
  const auto filename = itemTemplate->filename();
  auto fail = [=, self = shared_from_this()](const SyncCloudError& error) {
    self->logger_.error(importing ? "Importing item failed" : "Creating file failed",
                        with(where, "error", error.description()));
    completion(nullptr, fp::ItemFields::none, false, self->changeError(error));
  };
  std::error_code ec;
  const auto size = std::filesystem::file_size(contents, ec);
  if (ec) {
    logger_.error(importing ? "Importing item failed" : "Creating file failed",
                  with(where, "error", "contents cannot be read: " + ec.message()));
    completion(nullptr, fp::ItemFields::none, false,
               fp::Error(fp::CocoaErrorCode::fileReadNoPermission));
    return finished();
  }
  CloudEntryUploadParams params;
  params.contentModificationDate = itemTemplate->contentModificationDate();
  params.contentSize = static_cast<std::int64_t>(size);
  params.contentsURL = contents;
  logger_.info(importing ? "Importing item ..." : "Creating item ...", where);
  auto progress = fp::Progress::make(1);
  auto self = shared_from_this();
  const auto templateID = itemTemplate->itemIdentifier().rawValue();
  cloud_.syncService->willCreateItem(
      parent, filename, templateID, /*isFolder=*/false,
      [=](SyncCloudResult<common::BeginNewItemResult> begun) {
        if (!begun) return fail(begun.error());
        auto created = self->cloud_.syncService->createFile(
            *begun, params, templateID, filename, itemTemplate->contentType(),
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

std::optional<std::string> Provider::loggedChecksum(const std::filesystem::path& file,
                                                    const char* label,
                                                    const base::LoggerMetadata& where) const {
  auto checksum = base::fileDigestHex(file, base::HashAlgorithm::sha512);
  if (!checksum) {
    logger_.error("Logging checksum: Restricted from accessing cloud storage file...",
                  with(where, "error", checksum.error()));
    return std::nullopt;
  }
  logger_.info("generateChecksum(for:label:filename:logger:)",
               with(with(where, "label", label), "checksum", *checksum));
  return *checksum;
}

void Provider::logChecksum(const fp::ItemIdentifier& requested,
                           const std::filesystem::path& contents,
                           const base::LoggerMetadata& where) const {
  // The snapshot now, while it is certainly there.
  auto snapshot = loggedChecksum(contents, "contents", where);
  if (!snapshot) return;
  // The user-facing file off the caller's thread: it may be served by the very thread that
  // asked for the modification (the mount's), which must be free to answer the read.
  checksumQueue_->async([self = shared_from_this(), requested, where, snapshot = *snapshot] {
    self->manager_->getUserVisibleURL(
        requested, [self, where, snapshot](std::expected<std::filesystem::path, fp::Error> url) {
          self->compareChecksums(url, snapshot, where);
        });
  });
}

void Provider::compareChecksums(const std::expected<std::filesystem::path, fp::Error>& url,
                                const std::string& snapshot,
                                const base::LoggerMetadata& where) const {
  if (!url) {
    logger_.error("Logging checksum: Error getting local FileProvider URL", where);
    return;
  }
  if (url->empty()) {
    logger_.error("Logging checksum: FileProvider returned nil URL", where);
    return;
  }
  auto userFacing = loggedChecksum(*url, "userFacingFile", where);
  if (!userFacing) return;
  cloud_.analytics->send(
      {"checksum_comparison",
       {{"outcome", *userFacing == snapshot ? "equal_checksums" : "different_checksums"}}});
}

void Provider::reportDraftsFolderChange(const SyncItem& folder,
                                        const std::optional<SyncItem>& newParent,
                                        const std::string& newName) const {
  auto path = itemStorage_->queryCloudPath(folder.itemIdentifier);
  if (!path || *path != std::string(kDraftsFolderPath)) return;
  if (newName != folder.filename) {
    cloud_.analytics->send({"draft_folder_rename",
                            {{"move_source", *path}, {"move_destination", "/Private/" + newName}}});
  }
  if (newParent) {
    auto destination = itemStorage_->queryCloudPath(newParent->itemIdentifier);
    const auto parentPath = destination ? *destination : std::string();
    cloud_.analytics->send(
        {"draft_folder_move",
         {{"move_source", *path},
          {"move_destination", (parentPath == "/" ? "" : parentPath) + "/" + newName},
          {"move_type", "reparent"}}});
  }
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
