#include "platform/fileprovider/Enumerator.hpp"

namespace tarnix::platform::fileprovider {

const Page& Page::initialPageSortedByDate() {
  static const Page page{"NSFileProviderInitialPageSortedByDate"};
  return page;
}

const Page& Page::initialPageSortedByName() {
  static const Page page{"NSFileProviderInitialPageSortedByName"};
  return page;
}

bool Page::isInitial() const {
  return *this == initialPageSortedByDate() || *this == initialPageSortedByName();
}

}  // namespace tarnix::platform::fileprovider
