#pragma once
// What can be kept of a damaged JSON object: a file cut off in the middle of a write, or one
// with junk after it, still holds members that were whole.

#include <string_view>

#include "base/JSONValue.hpp"

namespace tarnix::platform::detail {

/// The members of the top-level object in `text` that were complete before the first syntax
/// error (all of them when only junk follows the object). An empty object when `text` does
/// not start as an object. Never throws.
base::JSONValue salvageJSONObjectMembers(std::string_view text);

}  // namespace tarnix::platform::detail
