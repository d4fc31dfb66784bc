// The provider's content fetches: whole files and byte ranges, downloaded by the sync service
// into temporary files that are handed to the system.
#include "base/PrivateFiles.hpp"
#include "base/UTF8.hpp"
#include "base/Uuid.hpp"
#include "fileprovider/Provider.hpp"

namespace tarnix::fileprovider {

namespace {

constexpr std::int64_t kDownloadUnits = 100;

fp::ProgressPtr finishedProgress() {
  auto progress = fp::Progress::make(1);
  progress->setCompletedUnitCount(1);
  return progress;
}

// The entry id of a requested content version: none for an empty version, an error for bytes
// that are no entry id.
std::expected<std::optional<common::CloudEntryIdentifier>, std::monostate> requestedEntry(
    const std::optional<fp::ItemVersion>& version) {
  if (!version || version->contentVersion.empty()) return std::nullopt;
  std::string text(version->contentVersion.begin(), version->contentVersion.end());
  if (!base::isValidUTF8(text) || text.find('\0') != std::string::npos) {
    return std::unexpected(std::monostate{});
  }
  return common::CloudEntryIdentifier{std::move(text)};
}

// Ends the fetch of `token` when the completion has run, whichever way it returns.
struct TransferEnd {
  std::shared_ptr<ProviderTransfers> transfers;
  ProviderTransfers::Token token;
  ~TransferEnd() { transfers->end(token); }
};

fp::Error invalidatedError() {
  return fp::Error(fp::FileProviderErrorCode::cannotSynchronize);
}

fp::Error noTemporaryFileError() {
  return fp::Error::fromErrorCode(std::make_error_code(std::errc::no_such_file_or_directory));
}

std::string versionText(const std::optional<fp::ItemVersion>& version) {
  if (!version) return {};
  std::string text(version->contentVersion.begin(), version->contentVersion.end());
  return base::isValidUTF8(text) ? text : std::string("<invalid>");
}

}  // namespace

std::optional<std::filesystem::path> Provider::makeTemporaryURL(std::string_view prefix) const {
  if (temporaryDirectoryCached_.empty()) {
    logger_.error("Unable to get temporary URL");
    return std::nullopt;
  }
  std::error_code ec = base::createPrivateDirectories(temporaryDirectoryCached_);
  if (ec) {
    logger_.error("Unable to get temporary URL", {{"error", ec.message()}});
    return std::nullopt;
  }
  return temporaryDirectoryCached_ / (std::string(prefix) + base::makeUuid());
}

std::expected<common::SyncItem, fp::Error> Provider::downloadableItem(
    const common::SyncItemIdentifier& identifier, const fp::ItemIdentifier& requested,
    const std::string& operationID) const {
  auto found = itemStorage_->item(identifier);
  if (!found) {
    const auto* sync = found.error().syncError();
    if (sync && sync->code() == common::SyncError::Code::noSuchItem) {
      return std::unexpected(fp::Error::forNonExistentItem(requested));
    }
    return std::unexpected(converter_->convert(found.error()));
  }
  if (found->isFolder()) {
    // A folder has no contents to hand over.
    return std::unexpected(converter_->convert(common::SyncError::noSuchItem(identifier)));
  }
  if (!common::isAtLeast(found->permission, common::SyncItemPermission::viewer)) {
    logger_.error("No permission to download item",
                  {{"itemID", identifier.description()}, {"opID", operationID}});
    return std::unexpected(fp::Error(fp::CocoaErrorCode::fileReadNoPermission));
  }
  return std::move(*found);
}

void Provider::removeTemporaryFile(const std::filesystem::path& file) const {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return;
  if (!std::filesystem::remove(file, ec) && ec) {
    logger_.error("Removing download temporary file failed",
                  {{"destination", file.string()}, {"error", ec.message()}});
  }
}

fp::Error Provider::downloadError(const SyncCloudError& error) const {
  if (error.isCancellation()) return fp::Error(fp::CocoaErrorCode::userCancelled);
  if (const auto* sync = error.syncError()) return converter_->convert(*sync);
  const auto& session = *error.sessionError();
  std::int64_t code = -1;
  if (const auto* urlError = std::get_if<cloudfs::URLError>(&session)) code = urlError->rawCode();
  return converter_->convert(
      fp::Error("NSURLErrorDomain", code,
                {{std::string(fp::Error::kLocalizedDescriptionKey), error.description()}}));
}

fp::ProgressPtr Provider::fetchContents(const fp::ItemIdentifier& identifier,
                                        const std::optional<fp::ItemVersion>& requestedVersion,
                                        const fp::Request&, FetchContentsCompletion completion) {
  const auto operationID = base::makeUuid();
  logger_.info("Downloading item ...", {{"itemID", identifier.rawValue()},
                                        {"requestedContentVersion", versionText(requestedVersion)},
                                        {"opID", operationID}});
  auto parsed = parse(identifier, "Invalid item ID given by system to fetchContents()");
  if (!parsed) {
    completion(std::nullopt, nullptr, fp::Error::forNonExistentItem(identifier));
    return finishedProgress();
  }
  auto version = requestedEntry(requestedVersion);
  if (!version) {
    logger_.error("Invalid content version given by system to fetchContents()",
                  {{"itemID", parsed->description()}, {"opID", operationID}});
    completion(std::nullopt, nullptr,
               fp::Error(fp::FileProviderErrorCode::versionNoLongerAvailable));
    return finishedProgress();
  }
  auto item = downloadableItem(*parsed, identifier, operationID);
  if (!item) {
    completion(std::nullopt, nullptr, item.error());
    return finishedProgress();
  }
  auto destination = makeTemporaryURL("dl-full");
  if (!destination) {
    completion(std::nullopt, nullptr, converter_->convert(noTemporaryFileError()));
    return finishedProgress();
  }

  auto token = transfers_->begin();
  if (!token) {
    completion(std::nullopt, nullptr, invalidatedError());
    return finishedProgress();
  }
  auto progress = fp::Progress::make(kDownloadUnits);
  // The download does not keep the provider alive: once it is gone, nothing is handed over.
  auto download = cloud_.syncService->downloadFile(
      *item, *destination, *version, fp::FetchContentsOptions::none,
      [weak = weak_from_this(), transfers = transfers_, token = *token, destination = *destination,
       operationID, completion = std::move(completion)](SyncCloudResult<common::SyncItem> result) {
        TransferEnd end{transfers, token};
        auto self = weak.lock();
        if (!self) {
          std::error_code ignored;
          std::filesystem::remove(destination, ignored);
          return completion(std::nullopt, nullptr, fp::Error(fp::CocoaErrorCode::userCancelled));
        }
        if (!result) {
          self->logger_.error("Downloading item failed", {{"destination", destination.string()},
                                                          {"opID", operationID},
                                                          {"error", result.error().description()}});
          self->removeTemporaryFile(destination);
          completion(std::nullopt, nullptr, self->downloadError(result.error()));
          return;
        }
        self->logger_.info(
            "Downloading item done",
            {{"filename", result->filename},
             {"downloadedContentVersion",
              result->contentVersion ? result->contentVersion->rawValue : std::string()},
             {"destination", destination.string()},
             {"opID", operationID}});
        completion(destination, self->converter_->item(*result), std::nullopt);
      });
  progress->addChild(download, kDownloadUnits);
  transfers_->attach(*token, download);
  return progress;
}

fp::ProgressPtr Provider::fetchPartialContents(const fp::ItemIdentifier& identifier,
                                               const fp::ItemVersion& requestedVersion,
                                               const fp::Request&, fp::ByteRange minimalRange,
                                               std::int64_t alignment,
                                               fp::FetchContentsOptions options,
                                               FetchPartialContentsCompletion completion) {
  const auto operationID = base::makeUuid();
  auto fail = [&](fp::Error error) {
    completion(std::nullopt, nullptr, fp::DeliveredRange{}, fp::MaterializationFlags::none,
               std::move(error));
    return finishedProgress();
  };
  auto parsed = parse(identifier, "Invalid item ID given by system to fetchPartialContents()");
  if (!parsed) return fail(fp::Error::forNonExistentItem(identifier));
  auto version = requestedEntry(requestedVersion);
  if (!version) {
    logger_.error("Invalid content version given by system to fetchPartialContents()",
                  {{"itemID", parsed->description()}, {"opID", operationID}});
    return fail(fp::Error(fp::FileProviderErrorCode::versionNoLongerAvailable));
  }
  auto item = downloadableItem(*parsed, identifier, operationID);
  if (!item) return fail(item.error());
  auto destination = makeTemporaryURL("dl-part");
  if (!destination) {
    logger_.error("Failed to create temporary URL", {{"opID", operationID}});
    return fail(converter_->convert(noTemporaryFileError()));
  }
  logger_.info("Downloading range of an item ...",
               {{"itemID", parsed->description()},
                {"requestedContentVersion", versionText(requestedVersion)},
                {"location", minimalRange.location},
                {"length", minimalRange.length},
                {"alignment", alignment},
                {"opID", operationID}});

  auto token = transfers_->begin();
  if (!token) return fail(invalidatedError());
  auto progress = fp::Progress::make(kDownloadUnits);
  auto download = cloud_.syncService->downloadFilePartially(
      *item, *destination, {minimalRange.location, minimalRange.length}, alignment, *version,
      options,
      [weak = weak_from_this(), transfers = transfers_, token = *token, destination = *destination,
       operationID,
       completion = std::move(completion)](SyncCloudResult<PartialFetchOutputContext> result) {
        TransferEnd end{transfers, token};
        auto self = weak.lock();
        if (!self) {
          std::error_code ignored;
          std::filesystem::remove(destination, ignored);
          return completion(std::nullopt, nullptr, fp::DeliveredRange{},
                            fp::MaterializationFlags::none,
                            fp::Error(fp::CocoaErrorCode::userCancelled));
        }
        if (!result) {
          self->logger_.error("Downloaded partial contents failed",
                              {{"destination", destination.string()},
                               {"opID", operationID},
                               {"error", result.error().description()}});
          self->removeTemporaryFile(destination);
          completion(std::nullopt, nullptr, fp::DeliveredRange{}, fp::MaterializationFlags::none,
                     self->downloadError(result.error()));
          return;
        }
        self->logger_.info("Downloaded partial contents", {{"filename", result->item.filename},
                                                           {"location", result->range.location},
                                                           {"length", result->range.length},
                                                           {"destination", destination.string()},
                                                           {"opID", operationID}});
        // The body holds the range alone (a whole-file answer: the range from 0 is the file).
        completion(destination, self->converter_->item(result->item),
                   fp::DeliveredRange{{result->range.location, result->range.length}, 0},
                   fp::MaterializationFlags::none, std::nullopt);
      });
  progress->addChild(download, kDownloadUnits);
  transfers_->attach(*token, download);
  return progress;
}

}  // namespace tarnix::fileprovider
