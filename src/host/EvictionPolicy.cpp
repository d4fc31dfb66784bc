#include "host/EvictionPolicy.hpp"

#include <algorithm>

namespace tarnix::host {

std::vector<Inode> selectEvictions(std::vector<PresentContent> present, const std::set<Inode>& open,
                                   std::int64_t limit) {
  std::int64_t total = 0;
  for (const auto& p : present) total += p.size;
  std::vector<Inode> victims;
  if (total <= limit) return victims;
  std::stable_sort(present.begin(), present.end(), [](const auto& a, const auto& b) {
    return a.lastAccess != b.lastAccess ? a.lastAccess < b.lastAccess : a.inode < b.inode;
  });
  for (const auto& p : present) {
    if (total <= limit) break;
    if (open.contains(p.inode)) continue;
    victims.push_back(p.inode);
    total -= p.size;
  }
  return victims;
}

}  // namespace tarnix::host
