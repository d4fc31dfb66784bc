#include "base/StderrOutputStream.hpp"

#include <unistd.h>

#include <cerrno>

namespace tarnix::base {

void StderrOutputStream::write(std::string_view text) const {
  while (!text.empty()) {
    auto n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace tarnix::base
