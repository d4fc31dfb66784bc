#pragma once
// A folder's children as the cloud lists them, before anything of them is stored.

#include <expected>
#include <vector>

#include "common/SyncError.hpp"
#include "common/SyncItem.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"

namespace tarnix::fileprovider {

/// The listed child folders, then files, as cloud items. Children whose names are unsafe or
/// unwanted are left out, as a listing never stores them; a child listed again under the same
/// cloud identifier counts once. A file with a negative size makes the listing invalid
/// (`badServerResponse`). Identifiers are those the listing gave: a stored child's own, a
/// new one for the others.
std::expected<std::vector<common::CloudItem>, common::SyncError> cloudItems(
    const SyncCloudFolderItems& listed);

}  // namespace tarnix::fileprovider
