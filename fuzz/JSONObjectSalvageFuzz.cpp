// Damaged preferences files: salvaging never throws and always gives an object whose members
// survive a round trip through text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/detail/JSONObjectSalvage.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto salvaged = tarnix::platform::detail::salvageJSONObjectMembers(text);
  if (!salvaged.is_object()) std::abort();
  auto again = tarnix::base::parseJSON(tarnix::base::dumpJSON(salvaged));
  if (!again || !again->is_object()) std::abort();
  return 0;
}
