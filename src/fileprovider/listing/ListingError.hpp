#pragma once
// Why a listing failed: the cloud's answer (a SyncError, or a transport error handed on as it
// was, cancellations included), the item store, or the listing machinery itself.

#include <expected>
#include <string>
#include <variant>

#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"

namespace tarnix::fileprovider {

/// The listing machinery cannot serve the request (the scheduler is gone, no listing service
/// serves the folder's realm, the request names no folder the store knows how to list).
struct ListingUnavailable {
  std::string reason;
  bool operator==(const ListingUnavailable&) const = default;
};

struct ListingError {
  std::variant<common::SyncError, SyncCloudError, common::ItemStoreError, ListingUnavailable> value;

  ListingError(common::SyncError error) : value(std::move(error)) {}
  ListingError(ListingUnavailable error) : value(std::move(error)) {}
  /// A SyncError inside is kept as a SyncError.
  ListingError(SyncCloudError error);
  ListingError(common::ItemStoreError error);

  /// The SyncError this failure stands for, if it is one.
  const common::SyncError* syncError() const { return std::get_if<common::SyncError>(&value); }
  bool isCancellation() const;
  std::string description() const;
};

template <class T>
using ListingResult = std::expected<T, ListingError>;

}  // namespace tarnix::fileprovider
