#include "cloudfs/responses/MetadataResponses.hpp"

#include "cloudfs/detail/JSONFields.hpp"

namespace tarnix::cloudfs {

using detail::decodeBody;
using detail::decodeEach;
using detail::JSONFields;

namespace {

FileMetadataResponse::Version decodeVersion(JSONFields& f) {
  FileMetadataResponse::Version version;
  version.entryID = f.identifier("entry_id");
  version.checksum = f.string("checksum");
  version.lastModified = f.string("last_modified");
  version.uploaded = f.integer("uploaded");
  version.uploadedBy = f.string("uploaded_by");
  version.size = f.integer("size");
  return version;
}

FolderMetadataResponse::FolderEntry decodeFolderEntry(JSONFields& f) {
  FolderMetadataResponse::FolderEntry entry;
  entry.path = f.string("path");
  entry.folderID = f.identifier("folder_id");
  entry.permission = f.string("permission");
  entry.lastModified = f.integer("last_modified");
  entry.uploaded = f.integer("uploaded");
  return entry;
}

}  // namespace

FileMetadataResponse FileMetadataResponse::decode(JSONFields& f) {
  FileMetadataResponse file;
  file.path = f.string("path");
  file.numVersions = f.integer("num_versions");
  file.groupID = f.identifier("group_id");
  file.parentID = f.identifier("parent_id");
  if (const auto* versions = f.optionalArray("versions")) {
    file.versions = decodeEach<Version>(f, versions, "versions", decodeVersion);
  }
  file.permission = f.optionalString("permission");
  file.locked = f.boolean("locked");
  if (const auto* lock = f.optionalObject("lock")) {
    JSONFields l(*lock, f.name("lock."));
    file.lock = Lock{l.optionalInteger("owner_id"),    l.optionalString("first_name"),
                     l.optionalString("last_name"),    l.optionalString("email"),
                     l.optionalInteger("lock_date"),   l.optionalInteger("lock_expiry_date"),
                     l.optionalString("collaboration")};
    f.adopt(l);
  }
  file.entryID = f.identifier("entry_id");
  file.checksum = f.string("checksum");
  file.lastModified = f.string("last_modified");
  file.uploaded = f.integer("uploaded");
  file.uploadedBy = f.optionalString("uploaded_by");
  file.size = f.integer("size");
  file.ownerID = f.optionalInteger("owner_id");
  file.firstName = f.optionalString("first_name");
  file.lastName = f.optionalString("last_name");
  file.email = f.optionalString("email");
  file.collaboration = f.optionalString("collaboration");
  return file;
}

std::expected<FileMetadataResponse, CloudFSError> FileMetadataResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<FileMetadataResponse>(
      response, [](JSONFields& f) { return FileMetadataResponse::decode(f); });
}

std::expected<FolderMetadataResponse, CloudFSError> FolderMetadataResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<FolderMetadataResponse>(response, [](JSONFields& f) {
    FolderMetadataResponse folder;
    folder.path = f.string("path");
    folder.folderID = f.identifier("folder_id");
    folder.parentID = f.optionalIdentifier("parent_id");
    folder.permission = f.optionalString("permission");
    folder.lastModified = f.integer("last_modified");
    folder.uploaded = f.integer("uploaded");
    folder.description = f.optionalString("description");
    folder.allowLinks = f.optionalBoolean("allow_links");
    folder.restrictMoveDelete = f.optionalBoolean("restrict_move_delete");
    if (const auto* files = f.optionalArray("files")) {
      folder.files = decodeEach<FileMetadataResponse>(
          f, files, "files", [](JSONFields& e) { return FileMetadataResponse::decode(e); });
    }
    if (const auto* folders = f.optionalArray("folders")) {
      folder.folders = decodeEach<FolderEntry>(f, folders, "folders", decodeFolderEntry);
    }
    return folder;
  });
}

std::expected<FSIItemMetadataVersionResponse, CloudFSError> FSIItemMetadataVersionResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<FSIItemMetadataVersionResponse>(response, [](JSONFields& f) {
    FSIItemMetadataVersionResponse item;
    item.name = f.string("name");
    item.groupID = f.identifier("groupId");
    item.entryID = f.identifier("entryId");
    item.checksum = f.string("checksum");
    item.lastModifiedTimestamp = f.integer("lastModifiedTimestamp");
    if (const auto* owner = f.optionalObject("owner")) {
      JSONFields o(*owner, "owner.");
      item.owner = Owner{o.integer("id"), o.string("username"), o.string("firstName"),
                         o.string("lastName"), o.string("email")};
      f.adopt(o);
    } else {
      f.fail("owner");
    }
    return item;
  });
}

}  // namespace tarnix::cloudfs
