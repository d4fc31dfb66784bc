#pragma once
// The failure of a cloud operation as the sync layer sees it.

#include <expected>
#include <string>
#include <variant>

#include "cloudfs/CloudFSSession.hpp"
#include "common/SyncError.hpp"

namespace tarnix::fileprovider {

/// A failed operation: a SyncError, or a transport error handed on as it was (always so for a
/// cancellation, which callers must not take for a failure of the cloud).
struct SyncCloudError {
  std::variant<common::SyncError, cloudfs::CloudFSSessionError> value;

  SyncCloudError(common::SyncError error) : value(std::move(error)) {}
  SyncCloudError(cloudfs::CloudFSSessionError error) : value(std::move(error)) {}

  const common::SyncError* syncError() const { return std::get_if<common::SyncError>(&value); }
  const cloudfs::CloudFSSessionError* sessionError() const {
    return std::get_if<cloudfs::CloudFSSessionError>(&value);
  }
  bool isCancellation() const;
  std::string description() const;
};

template <class T>
using SyncCloudResult = std::expected<T, SyncCloudError>;

}  // namespace tarnix::fileprovider
