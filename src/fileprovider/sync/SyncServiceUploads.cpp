// The sync service's content uploads: new files and new contents of existing files, the date
// rules that keep the cloud's versions in order, and the uploads under way per folder.
#include <algorithm>
#include <filesystem>

#include "base/AsyncSteps.hpp"
#include "fileprovider/sync/SyncService.hpp"

namespace tarnix::fileprovider {

namespace steps = base::AsyncSteps;
using common::SyncError;
using common::SyncItem;
using steps::Completion;
using steps::Nothing;
using Code = SyncError::Code;

namespace {

std::string dateText(base::Date date) {
  return std::to_string(base::millisecondsSince1970(date));
}

bool hasExtension(const std::string& filename, std::string_view extension) {
  auto ext = std::filesystem::path(filename).extension().string();
  std::ranges::transform(ext, ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext.size() == extension.size() + 1 && ext.substr(1) == extension;
}

/// Shows a failed upload to the user (the presenter leaves out cancellations and passing
/// states).
void presentUploadError(const std::shared_ptr<UploadErrorPresenter>& presenter,
                        const std::string& filename, const SyncCloudError& error) {
  if (presenter) presenter->presentUploadError(filename, error);
}

}  // namespace

CloudEntryUploadParams sanitizedModificationDate(CloudEntryUploadParams entryParams,
                                                 const std::optional<SyncItem>& existing,
                                                 base::Date now, const base::Logger& logger) {
  if (!entryParams.contentModificationDate) {
    if (existing && existing->contentModificationDate) {
      logger.info("Content modification date not provided, using existing item date");
      entryParams.contentModificationDate = existing->contentModificationDate;
    } else {
      entryParams.contentModificationDate = now;
    }
  }
  const auto date = *entryParams.contentModificationDate;
  const auto sinceEpoch = std::chrono::duration<double>(date.time_since_epoch()).count();
  if (sinceEpoch <= 0 || date > now) {
    logger.warning("Invalid content modification date, using current date",
                   {{"newEntryDate", dateText(date)}, {"currentDate", dateText(now)}});
    entryParams.cfsContentModificationDateOverride = now;
    return entryParams;
  }
  if (existing) {
    const auto previous = existing->cfsContentModificationDate();
    if (previous && *previous > date) {
      logger.warning("Previous entry had newer modification date, using current date",
                     {{"previousEntryDate", dateText(*previous)},
                      {"newEntryDate", dateText(date)},
                      {"currentDate", dateText(now)}});
      entryParams.cfsContentModificationDateOverride = now;
    }
  }
  return entryParams;
}

base::Date SyncService::now() const {
  return c_.clock ? c_.clock->now() : std::chrono::system_clock::now();
}

CloudEntryUploadParams SyncService::sanitizeModificationDate(
    CloudEntryUploadParams entryParams, const std::optional<SyncItem>& item) const {
  return sanitizedModificationDate(std::move(entryParams), item, now(), logger_);
}

std::vector<std::string> SyncService::uploadsInProgress(
    const common::SyncFolderIdentifier& folder) const {
  return uploadsInProgress_->names(folder);
}

void UploadsInProgress::begin(const common::SyncFolderIdentifier& folder,
                              const std::string& filename) {
  base::MutexLock lock(mutex_);
  names_[folder].push_back(filename);
}

void UploadsInProgress::end(const common::SyncFolderIdentifier& folder,
                            const std::string& filename) {
  base::MutexLock lock(mutex_);
  auto found = names_.find(folder);
  if (found == names_.end()) return;
  auto& names = found->second;
  if (auto name = std::ranges::find(names, filename); name != names.end()) names.erase(name);
  if (names.empty()) names_.erase(found);
}

std::vector<std::string> UploadsInProgress::names(
    const common::SyncFolderIdentifier& folder) const {
  base::MutexLock lock(mutex_);
  auto found = names_.find(folder);
  return found == names_.end() ? std::vector<std::string>{} : found->second;
}

bool SyncService::verifyInddIntegrity(const std::string& filename,
                                      const CloudEntryUploadParams& entryParams,
                                      const std::string& operationID) const {
  if (!hasExtension(filename, "indd") || !c_.configurationProvider ||
      !c_.configurationProvider->value().isInddCorruptionDetectionEnabled()) {
    return true;
  }
  TLOG_DEBUG(logger_, "Checking indd integrity", {{"opID", operationID}});
  // The verdict comes from the desktop application, which this platform does not have: the
  // document is accepted unchecked, as when that application cannot be reached.
  logger_.error("Accepting unchecked indd - couldn't communicate with main application",
                {{"opID", operationID}, {"path", entryParams.contentsURL.string()}});
  return true;
}

fp::ProgressPtr SyncService::createFile(const common::BeginNewItemResult& begun,
                                        CloudEntryUploadParams entryParams,
                                        std::optional<std::string> originalItemIdentifier,
                                        std::string filename,
                                        std::optional<std::string> contentType,
                                        ResultHandler<CreatedItem> completionHandler) {
  auto progress = fp::Progress::make(1);
  const auto& parent = begun.parentItem;
  const auto parentID = *parent.itemIdentifier.folder();
  base::LoggerMetadata where{{"filename", filename}, {"parentID", parentID.description()}};
  auto fail = [&](SyncCloudError error) {
    presentUploadError(c_.uploadErrorPresenter, filename, error);
    queue_->async([completionHandler, error = std::move(error)] {
      completionHandler(std::unexpected(error));
    });
    return progress;
  };
  if (parent.itemRealm != common::SyncItemRealm::offline && c_.uploadValidator) {
    if (auto reason =
            c_.uploadValidator->validate(filename, entryParams.contentSize, contentType)) {
      logger_.warning("Upload rejected by validator",
                      {{"filename", filename}, {"reason", std::string(description(*reason))}});
      return fail(SyncError::uploadRejected(*reason));
    }
  }
  if (begun.existingItem) {
    // The cloud client never replaces a file of that name whose content differs: the upload
    // ends in filenameCollision then, and the system keeps both.
    logger_.error("Collisions are not pretty (file)", where);
  }
  if (!common::allowsEditing(parent)) {
    logger_.warning("No permission to create item", where);
    return fail(SyncError(Code::permissionDenied));
  }
  entryParams = sanitizeModificationDate(std::move(entryParams), std::nullopt);
  if (!verifyInddIntegrity(filename, entryParams, originalItemIdentifier.value_or("")))
    return fail(SyncError::uploadRejected(common::UploadRejectionReason::unknownReason));

  auto uploads = uploadsInProgress_;
  auto presenter = c_.uploadErrorPresenter;
  auto storage = c_.itemStorage;
  auto logger = logger_;
  // Whatever waited to be deleted at this place stays deleted: the new file takes its place.
  if (c_.deletionManager) c_.deletionManager->cancelDelayedDeletion(parentID, filename);
  storage->willStartCreatingNewItem(filename, parentID);
  uploads->begin(parentID, filename);
  auto request = c_.syncClient->uploadFirstEntry(
      parent, std::move(entryParams), filename, originalItemIdentifier,
      [=](SyncCloudResult<SyncItem> uploaded) {
        storage->didFinishCreatingNewItem({filename, parentID});
        uploads->end(parentID, filename);
        if (!uploaded) {
          presentUploadError(presenter, filename, uploaded.error());
          return completionHandler(std::unexpected(uploaded.error()));
        }
        auto stored = storage->storeNewItem(*uploaded);
        if (!stored) {
          // A listing stored the file first: that row becomes the uploaded version.
          auto child = storage->childItem(parentID, uploaded->filename);
          if (child && *child) {
            common::PatchedSyncItem patched(**child);
            patched.setCloudIdentifier(uploaded->cloudIdentifier);
            patched.setContentVersion(uploaded->contentVersion);
            patched.setContentChecksum(uploaded->contentChecksum);
            patched.setContentSize(uploaded->contentSize);
            patched.setUploadDate(uploaded->uploadDate);
            patched.setContentModificationDate(uploaded->contentModificationDate);
            patched.setCfsContentModificationDateOverride(
                uploaded->cfsContentModificationDateOverride);
            stored = storage->update(patched);
          }
        }
        if (!stored) {
          logger.error("Storing uploaded file failed",
                       {{"filename", filename}, {"error", stored.error().description()}});
          return completionHandler(std::move(CreatedItem{std::move(*uploaded), {}}));
        }
        completionHandler(CreatedItem{std::move(*stored), fp::ItemFields::filename |
                                                              fp::ItemFields::parentItemIdentifier |
                                                              fp::ItemFields::contents});
      });
  progress->addChild(request, 1);
  return progress;
}

fp::ProgressPtr SyncService::editItem(const SyncItem& item, CloudEntryUploadParams entryParams,
                                      std::optional<std::string> contentType,
                                      std::string operationID,
                                      ResultHandler<EditItemOutput> completionHandler) {
  (void)contentType;
  auto progress = fp::Progress::make(1);
  const auto itemID = item.itemIdentifier.description();
  base::LoggerMetadata where{{"itemID", itemID}, {"opID", operationID}};
  logger_.info("Editing item ...", where);
  auto fail = [&](SyncCloudError error) {
    logger_.error("Editing item failed",
                  {{"itemID", itemID}, {"opID", operationID}, {"error", error.description()}});
    presentUploadError(c_.uploadErrorPresenter, item.filename, error);
    queue_->async([completionHandler, error = std::move(error)] {
      completionHandler(std::unexpected(error));
    });
    return progress;
  };
  if (!common::allowsEditing(item)) {
    logger_.warning("No permission to edit item", where);
    return fail(SyncError(Code::permissionDenied));
  }
  auto parent = c_.itemStorage->item(common::SyncItemIdentifier(item.parentItemIdentifier));
  if (!parent) {
    const auto* sync = parent.error().syncError();
    return fail(sync ? SyncCloudError(*sync) : SyncCloudError(SyncError(Code::noSuchItem)));
  }
  if (!entryParams.baseContentVersion) entryParams.baseContentVersion = item.contentVersion;
  if (!entryParams.lockToken) {
    // The caller's item may have been read without its local lock: the stored one counts.
    auto locked = item;
    if (!locked.localLock) {
      if (auto stored = c_.itemStorage->item(item.itemIdentifier,
                                             common::SyncItemReadOptions::includeLocalLocks)) {
        locked = std::move(*stored);
      }
    }
    if (locked.localLock && locked.localLock->token)
      entryParams.lockToken = locked.localLock->token;
  }
  entryParams = sanitizeModificationDate(std::move(entryParams), item);
  if (!verifyInddIntegrity(item.filename, entryParams, operationID))
    return fail(SyncError::uploadRejected(common::UploadRejectionReason::unknownReason));

  auto uploads = uploadsInProgress_;
  auto presenter = c_.uploadErrorPresenter;
  auto storage = c_.itemStorage;
  auto logger = logger_;
  auto listFolder = c_.listFolder;
  const auto parentID = item.parentItemIdentifier;
  uploads->begin(parentID, item.filename);
  auto request = c_.syncClient->uploadNextEntry(
      *parent, item, std::move(entryParams), [=](SyncCloudResult<UploadNextEntryOutput> uploaded) {
        uploads->end(parentID, item.filename);
        if (!uploaded) {
          logger.error("Editing item failed", {{"itemID", itemID},
                                               {"opID", operationID},
                                               {"error", uploaded.error().description()}});
          presentUploadError(presenter, item.filename, uploaded.error());
          return completionHandler(std::unexpected(uploaded.error()));
        }
        if (uploaded->hasStaleVersion) {
          logger.warning("Edit became a conflict copy",
                         {{"itemID", itemID},
                          {"opID", operationID},
                          {"conflictedFileName", uploaded->conflictedFileName.value_or("")}});
          auto answer = [=] {
            auto current = storage->item(item.itemIdentifier);
            logger.info("Editing item done", {{"itemID", itemID}, {"opID", operationID}});
            completionHandler(EditItemOutput{current ? *current : item, true});
          };
          // The listing brings the other version and the conflict copy.
          if (!listFolder) return answer();
          return listFolder(parentID, [answer](std::optional<SyncCloudError>) { answer(); });
        }
        auto stored = storage->update(uploaded->item);
        if (!stored) {
          logger.error("Storing edited item failed",
                       {{"itemID", itemID}, {"error", stored.error().description()}});
          logger.info("Editing item done", {{"itemID", itemID}, {"opID", operationID}});
          return completionHandler(EditItemOutput{uploaded->item.item(), false});
        }
        logger.info("Editing item done", {{"itemID", itemID}, {"opID", operationID}});
        completionHandler(EditItemOutput{std::move(*stored), false});
      });
  progress->addChild(request, 1);
  return progress;
}

}  // namespace tarnix::fileprovider
