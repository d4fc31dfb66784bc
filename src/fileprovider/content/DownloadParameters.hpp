#pragma once
// Where and how one download is sent.

#include <memory>
#include <optional>
#include <string>

#include "cloudfs/CloudFSSession.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

/// The session (the cloud's, or the drive's fast-access endpoint's), the version and path asked
/// for.
struct DownloadParameters {
  std::shared_ptr<cloudfs::CloudFSSession> session;
  std::optional<common::CloudEntryIdentifier> version;
  std::optional<std::string> path;
  bool usesHybrid = false;
};

}  // namespace tarnix::fileprovider
