#include "fileprovider/listing/ListingRequest.hpp"

namespace tarnix::fileprovider {

std::string_view description(ListingOrigin origin) {
  switch (origin) {
    case ListingOrigin::enumerator:
      return "enumerator";
    case ListingOrigin::red:
      return "red";
    case ListingOrigin::ds:
      return "ds";
  }
  return "enumerator";
}

std::string ListingRequest::description() const {
  struct Describe {
    std::string operator()(const ByIdentifier& r) const {
      return "byIdentifier(" + r.folderIdentifier.description() +
             (r.forceRefreshLocks ? ", forceRefreshLocks)" : ")");
    }
    std::string operator()(const ByIdentifierOnRealmChange& r) const {
      return "byIdentifierOnRealmChange(" + r.folderIdentifier.description() + ", " +
             std::string(common::description(r.itemRealm)) + ")";
    }
    std::string operator()(const ByIdentifierOnMove& r) const {
      return "byIdentifierOnMove(" + r.itemIdentifier.description() + ", " +
             (r.newParent ? r.newParent->description() : std::string("-")) + ", " +
             r.newFilename.value_or("-") + ")";
    }
    std::string operator()(const ByPath& r) const { return "byPath(" + r.path + ")"; }
    std::string operator()(const ByPathExclusive& r) const {
      return "byPathExclusive(" + r.path + ")";
    }
    std::string operator()(const ByPathOnMove& r) const {
      return "byPathOnMove(" + r.target + ", " + r.source + ")";
    }
  };
  return std::visit(Describe{}, value);
}

}  // namespace tarnix::fileprovider
