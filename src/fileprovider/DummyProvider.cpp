#include "fileprovider/DummyProvider.hpp"

namespace tarnix::fileprovider {

DummyProvider::DummyProvider()
    : cannotSyncError_(fp::FileProviderErrorCode::cannotSynchronize),
      defaultXPCError_(fp::CocoaErrorCode::xpcConnectionReplyInvalid) {}

fp::ProgressPtr DummyProvider::item(const fp::ItemIdentifier&, const fp::Request&,
                                    ItemCompletion completion) {
  completion(nullptr, cannotSyncError_);
  return fp::Progress::make();
}

fp::ProgressPtr DummyProvider::fetchContents(const fp::ItemIdentifier&,
                                             const std::optional<fp::ItemVersion>&,
                                             const fp::Request&,
                                             FetchContentsCompletion completion) {
  completion(std::nullopt, nullptr, cannotSyncError_);
  return fp::Progress::make();
}

fp::ProgressPtr DummyProvider::fetchPartialContents(const fp::ItemIdentifier&,
                                                    const fp::ItemVersion&, const fp::Request&,
                                                    fp::ByteRange, std::int64_t,
                                                    fp::FetchContentsOptions,
                                                    FetchPartialContentsCompletion completion) {
  completion(std::nullopt, nullptr, fp::DeliveredRange{}, fp::MaterializationFlags::none,
             cannotSyncError_);
  return fp::Progress::make();
}

fp::ProgressPtr DummyProvider::createItem(fp::ItemPtr, fp::ItemFields,
                                          const std::optional<std::filesystem::path>&,
                                          fp::CreateItemOptions, const fp::Request&,
                                          ChangeItemCompletion completion) {
  completion(nullptr, fp::ItemFields::none, false, cannotSyncError_);
  return fp::Progress::make();
}

fp::ProgressPtr DummyProvider::modifyItem(fp::ItemPtr, const fp::ItemVersion&, fp::ItemFields,
                                          const std::optional<std::filesystem::path>&,
                                          fp::ModifyItemOptions, const fp::Request&,
                                          ChangeItemCompletion completion) {
  completion(nullptr, fp::ItemFields::none, false, cannotSyncError_);
  return fp::Progress::make();
}

fp::ProgressPtr DummyProvider::deleteItem(const fp::ItemIdentifier&, const fp::ItemVersion&,
                                          fp::DeleteItemOptions, const fp::Request&,
                                          ErrorCompletion completion) {
  completion(cannotSyncError_);
  return fp::Progress::make();
}

std::expected<fp::EnumeratorPtr, fp::Error> DummyProvider::enumerator(const fp::ItemIdentifier&,
                                                                      const fp::Request&) {
  return std::unexpected(cannotSyncError_);
}

fp::ProgressPtr DummyProvider::fetchThumbnails(const std::vector<fp::ItemIdentifier>& identifiers,
                                               fp::ThumbnailSize,
                                               PerThumbnailCompletion perThumbnail,
                                               ErrorCompletion completion) {
  for (const auto& identifier : identifiers)
    perThumbnail(identifier, std::nullopt, defaultXPCError_);
  completion(defaultXPCError_);
  return fp::Progress::make();
}

fp::ProgressPtr DummyProvider::performAction(const fp::ActionIdentifier&,
                                             const std::vector<fp::ItemIdentifier>&,
                                             ErrorCompletion completion) {
  completion(defaultXPCError_);
  return fp::Progress::make();
}

fp::ProgressPtr DummyProvider::supportedServiceSources(const fp::ItemIdentifier&,
                                                       ServiceSourcesCompletion completion) {
  completion({}, std::nullopt);
  return fp::Progress::make();
}

}  // namespace tarnix::fileprovider
