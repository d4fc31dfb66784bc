#include "fileprovider/listing/ListingError.hpp"

namespace tarnix::fileprovider {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace

ListingError::ListingError(SyncCloudError error)
    : value(common::SyncError(common::SyncError::Code::badServerResponse)) {
  if (const auto* sync = error.syncError()) {
    value = *sync;
  } else {
    value = std::move(error);
  }
}

ListingError::ListingError(common::ItemStoreError error)
    : value(common::SyncError(common::SyncError::Code::badServerResponse)) {
  if (const auto* sync = error.syncError()) {
    value = *sync;
  } else {
    value = std::move(error);
  }
}

bool ListingError::isCancellation() const {
  const auto* cloud = std::get_if<SyncCloudError>(&value);
  return cloud && cloud->isCancellation();
}

std::string ListingError::description() const {
  return std::visit(Overloaded{
                        [](const common::SyncError& e) { return e.description(); },
                        [](const SyncCloudError& e) { return e.description(); },
                        [](const common::ItemStoreError& e) { return e.description(); },
                        [](const ListingUnavailable& e) { return e.reason; },
                    },
                    value);
}

}  // namespace tarnix::fileprovider
