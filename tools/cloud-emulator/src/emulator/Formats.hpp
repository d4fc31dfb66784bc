#pragma once
// The JSON shapes of the cloud's answers, one function per response family.

#include <optional>
#include <string>
#include <vector>

#include "base/JSONValue.hpp"
#include "emulator/Cloud.hpp"

namespace tarnix::emulator {

/// "NONE", "NAV", "VIEWER_ONLY", "READWRITE", "RWD", "MODIFY".
std::string permissionName(Permission permission);
/// "None", "Nav", "Viewer", "Editor", "Full", "Owner".
std::string permissionDescription(Permission permission);

/// Flags of a folder listing request, named after their query items.
struct ListingOptions {
  bool includeChecksum = false, includeUploadedBy = false, includeCollaboration = false;
  bool indicateStandardUsersAccess = false, indicateProjectFolder = false,
       indicateDocumentRoom = false;
};

/// A folder listing ("/rest/public/v1/fsc/folders") and its entity tag.
struct Listing {
  std::string body;
  std::string etag;
};
Listing listingJson(Cloud& cloud, const User& user, const Node& folder,
                    const ListingOptions& options);

struct MetadataOptions {
  bool includePermissions = false, includeLocks = false, includeCollaboration = false,
       listContent = false;
  std::optional<std::int64_t> offset, count;
  bool descending = false;
  std::optional<std::string> sortBy;
};
/// The file-system family ("/api/v1/fs"): snake_case keys.
base::JSONValue folderMetadataJson(Cloud& cloud, const User& user, const Node& folder,
                                   const MetadataOptions& options);
base::JSONValue fileMetadataJson(Cloud& cloud, const User& user, const Node& file,
                                 const MetadataOptions& options);
/// The file-system index family ("/rest/public/1.0/fsi"): camelCase keys.
base::JSONValue fsiItemJson(Cloud& cloud, const User& user, const Node& node);

/// One event of the desktop sync back end ("/v5/get_events").
base::JSONValue syncEventJson(const Event& event);
/// One event of the public events request ("getEvents").
base::JSONValue publicEventJson(const Event& event);

/// The answer to an upload ("path", "group_id", "entry_id", "checksum",
/// "conflict_resolution_path").
base::JSONValue uploadJson(Cloud& cloud, const UploadResult& result);

}  // namespace tarnix::emulator
