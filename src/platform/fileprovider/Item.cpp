#include "platform/fileprovider/Item.hpp"

#include <array>
#include <utility>

namespace tarnix::platform::fileprovider {

std::vector<std::string> fieldNames(ItemFields fields) {
  static constexpr std::array<std::string_view, 11> kNames = {
      "contents",        "filename",           "parentItemIdentifier", "lastUsedDate",
      "tagData",         "favoriteRank",       "creationDate",         "contentModificationDate",
      "fileSystemFlags", "extendedAttributes", "typeAndCreator"};
  std::vector<std::string> names;
  auto raw = rawValue(fields);
  for (std::size_t bit = 0; bit < 32; ++bit) {
    if ((raw & (1u << bit)) == 0) continue;
    names.emplace_back(bit < kNames.size() ? std::string(kNames[bit])
                                           : "unknown(" + std::to_string(1u << bit) + ")");
  }
  return names;
}

ItemProperties ItemProperties::of(const Item& item) {
  ItemProperties p;
  p.itemIdentifier = item.itemIdentifier();
  p.parentItemIdentifier = item.parentItemIdentifier();
  p.filename = item.filename();
  p.contentType = item.contentType();
  p.capabilities = item.capabilities();
  p.itemVersion = item.itemVersion();
  p.contentPolicy = item.contentPolicy();
  p.documentSize = item.documentSize();
  p.creationDate = item.creationDate();
  p.contentModificationDate = item.contentModificationDate();
  p.lastUsedDate = item.lastUsedDate();
  p.tagData = item.tagData();
  p.fileSystemFlags = item.fileSystemFlags();
  p.extendedAttributes = item.extendedAttributes();
  p.typeAndCreator = item.typeAndCreator();
  p.userInfo = item.userInfo();
  p.decorations = item.decorations();
  return p;
}

ItemPtr ItemSnapshot::make(ItemProperties properties) {
  return std::make_shared<const ItemSnapshot>(std::move(properties));
}

ItemPtr ItemSnapshot::copy(const Item& item) {
  return make(ItemProperties::of(item));
}

}  // namespace tarnix::platform::fileprovider
