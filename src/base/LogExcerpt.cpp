#include "base/LogExcerpt.hpp"

namespace tarnix::base {

std::string logExcerpt(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t kept = limit;
  // Never end inside a character: back off over continuation bytes to the lead byte.
  while (kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80) --kept;
  std::string excerpt(text.substr(0, kept));
  excerpt += " [\u2026 " + std::to_string(text.size() - kept) + " bytes cut]";
  return excerpt;
}

}  // namespace tarnix::base
