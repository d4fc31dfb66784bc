// Parses arbitrary bytes as an item, a list and a dictionary. Whatever parses must serialise,
// and the serialised text must parse back to the same value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/StructuredFields.hpp"

namespace sf = tarnix::base::sf;

namespace {

template <class Parse, class Serialise>
void roundTrip(std::string_view text, Parse parse, Serialise serialise) {
  auto value = parse(text);
  if (!value) return;
  auto written = serialise(*value);
  if (!written) std::abort();
  auto again = parse(*written);
  if (!again || !(*again == *value)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  roundTrip(text, sf::parseItem, sf::serializeItem);
  roundTrip(text, sf::parseList, sf::serializeList);
  roundTrip(text, sf::parseDictionary, sf::serializeDictionary);
  return 0;
}
