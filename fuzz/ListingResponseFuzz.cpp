// Listing bodies from the cloud, decoded and turned into sync items the way the cloud client
// does: any body gives a listing or a typed error, never a crash or undefined behaviour, and a
// decoded listing gives exactly one item per entry, each under the listed folder with the
// entry's name and cloud identifier.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cloudfs/responses/ListingResponse.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnix;
  cloudfs::CloudFSResponse response;
  response.httpResponse.statusCode = 200;
  response.body = std::string(reinterpret_cast<const char*>(data), size);
  auto listing = cloudfs::ListingResponse::decode(response);
  if (!listing) {
    check(!listing.error().description().empty());
    return 0;
  }

  static const auto client = std::make_shared<fileprovider::SyncCloudClient>(
      nullptr, nullptr, base::Logger::null(), nullptr, common::Drive{});
  common::SyncItem folder;
  folder.itemIdentifier = common::SyncFolderIdentifier{"00000000-0000-4000-8000-0000000f01de"};
  folder.filename = "Listed";
  auto items = client->folderItems(folder, *listing, "etag");

  check(items.version == "etag");
  check(items.folderItem.itemIdentifier == folder.itemIdentifier);
  check(items.childFolderItems.size() == listing->folders.size());
  check(items.childFileItems.size() == listing->files.size());
  for (std::size_t i = 0; i < listing->folders.size(); ++i) {
    const auto& item = items.childFolderItems[i];
    check(item.isFolder());
    check(item.parentItemIdentifier == *folder.itemIdentifier.folder());
    check(item.filename == listing->folders[i].name);
    check(item.cloudIdentifier && item.cloudIdentifier->rawValue() == listing->folders[i].folderID);
  }
  for (std::size_t i = 0; i < listing->files.size(); ++i) {
    const auto& item = items.childFileItems[i];
    check(!item.isFolder());
    check(item.parentItemIdentifier == *folder.itemIdentifier.folder());
    check(item.filename == listing->files[i].name);
    check(item.contentSize == listing->files[i].size);
    check(item.cloudIdentifier && item.cloudIdentifier->rawValue() == listing->files[i].groupID);
    check(item.contentVersion && item.contentVersion->rawValue == listing->files[i].entryID);
  }
  return 0;
}
