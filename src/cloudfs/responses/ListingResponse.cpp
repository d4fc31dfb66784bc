#include "cloudfs/responses/ListingResponse.hpp"

#include "cloudfs/detail/JSONFields.hpp"

namespace tarnix::cloudfs {

using detail::decodeEach;
using detail::JSONFields;

namespace {

ListingResponse::File decodeFile(JSONFields& f) {
  ListingResponse::File file;
  file.name = f.string("name");
  file.groupID = f.identifier("groupId");
  file.entryID = f.identifier("entryId");
  file.checksum = f.optionalString("checksum");
  file.size = f.integer("size");
  file.uploaded = f.integer("uploaded");
  file.uploadedBy = f.optionalString("uploadedBy");
  file.lastModified = f.integer("lastModified");
  file.locked = f.boolean("locked");
  file.collaboration = f.optionalString("collaboration");
  return file;
}

ListingResponse::Folder decodeFolder(JSONFields& f) {
  ListingResponse::Folder folder;
  folder.name = f.string("name");
  folder.folderID = f.identifier("folderId");
  folder.permission = f.string("permission");
  folder.uploaded = f.integer("uploaded");
  folder.lastModified = f.integer("lastModified");
  folder.moveDeletePermitted = f.optionalBoolean("moveDeletePermitted");
  if (const auto* indicators = f.optionalObject("visualIndicators")) {
    std::map<std::string, bool> map;
    for (auto it = indicators->begin(); it != indicators->end(); ++it) {
      if (!it->is_boolean()) {
        f.fail("visualIndicators." + it.key());
        break;
      }
      map[it.key()] = it->get<bool>();
    }
    folder.visualIndicators = std::move(map);
  }
  return folder;
}

}  // namespace

std::expected<ListingResponse, CloudFSError> ListingResponse::decode(
    const CloudFSResponse& response) {
  return detail::decodeBody<ListingResponse>(response, [](JSONFields& f) {
    ListingResponse listing;
    listing.path = f.string("path");
    listing.folderID = f.identifier("folderId");
    listing.parentFolderID = f.optionalIdentifier("parentFolderId");
    listing.permission = f.string("permission");
    listing.uploaded = f.integer("uploaded");
    listing.lastModified = f.integer("lastModified");
    listing.moveDeletePermitted = f.optionalBoolean("moveDeletePermitted");
    listing.files = decodeEach<File>(f, f.array("files"), "files", decodeFile);
    listing.folders = decodeEach<Folder>(f, f.array("folders"), "folders", decodeFolder);
    return listing;
  });
}

std::expected<std::string, CloudFSError> ListingResponse::entityTag(
    const CloudFSResponse& response) {
  auto tag = response.httpResponse.value(base::HTTPHeaderName::eTag);
  if (!tag) return std::unexpected(CloudFSError::missingHeader("ETag"));
  return *tag;
}

}  // namespace tarnix::cloudfs
