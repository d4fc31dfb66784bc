#pragma once
// Which present contents go back to dataless when the cache holds more than its limit: the
// least recently used first, never a file that is open.

#include <cstdint>
#include <set>
#include <vector>

#include "host/ReplicaStore.hpp"

namespace tarnix::host {

/// The default cache limit: 10 GiB.
inline constexpr std::int64_t kDefaultCacheLimit = std::int64_t{10} << 30;

/// `present` in any order; returns the inodes to evict, oldest access first, so that what stays
/// fits in `limit` as far as files that are not open allow.
std::vector<Inode> selectEvictions(std::vector<PresentContent> present, const std::set<Inode>& open,
                                   std::int64_t limit);

}  // namespace tarnix::host
