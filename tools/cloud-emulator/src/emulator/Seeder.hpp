#pragma once
// Ready-made content: "demo" (a small realistic tree) and "scale:N" (a folder of N files).

#include <expected>
#include <string>

#include "emulator/Cloud.hpp"

namespace tarnix::emulator {

/// Creates the default users when there are none.
void ensureDefaultUsers(Store& store);

/// Seeds once per data folder and seed name; a repeated seed does nothing.
std::expected<void, std::string> seed(Cloud& cloud, const std::string& spec);

}  // namespace tarnix::emulator
