#include "host/OpenFileTable.hpp"

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <tuple>

namespace tarnix::host {

std::uint64_t OpenFileTable::opened(std::uint64_t inode, pid_t pid, bool forWriting,
                                    Clock::time_point now) {
  // The name is read when the holder is asked for: an open stays cheap.
  std::function<void()> listener;
  std::uint64_t token = 0;
  {
    base::MutexLock lock(mutex_);
    token = nextToken_++;
    open_.emplace(token, OpenFileHolder{inode, pid, std::nullopt, forWriting, now});
    if (forWriting) listener = writersChanged_;
  }
  if (listener) listener();
  return token;
}

void OpenFileTable::released(std::uint64_t token) {
  std::function<void()> listener;
  {
    base::MutexLock lock(mutex_);
    auto found = open_.find(token);
    if (found == open_.end()) return;
    if (found->second.forWriting) listener = writersChanged_;
    open_.erase(found);
  }
  if (listener) listener();
}

void OpenFileTable::setWritersChanged(std::function<void()> listener) {
  base::MutexLock lock(mutex_);
  writersChanged_ = std::move(listener);
}

std::vector<OpenFileHolder> OpenFileTable::holders(Clock::time_point now) const {
  auto out = countingHolders(now);
  for (auto& h : out) h.processName = processName(h.pid);
  return out;
}

std::vector<OpenFileHolder> OpenFileTable::countingHolders(Clock::time_point now) const {
  base::MutexLock lock(mutex_);
  std::vector<OpenFileHolder> out;
  std::set<std::tuple<std::uint64_t, pid_t>> seen;
  for (const auto& [token, h] : open_) {
    if (!h.forWriting && now - h.openedAt < minimumHold_) continue;
    if (!seen.emplace(h.inode, h.pid).second) {
      // The same process holds the file twice: writing wins.
      if (h.forWriting) {
        for (auto& o : out)
          if (o.inode == h.inode && o.pid == h.pid) o.forWriting = true;
      }
      continue;
    }
    out.push_back(h);
  }
  return out;
}

std::optional<std::string> OpenFileTable::processName(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  // A request names the thread; its process is the thread group.
  pid_t group = pid;
  {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Tgid:", 0) == 0) {
        std::istringstream(line.substr(5)) >> group;
        break;
      }
    }
  }
  std::ifstream comm("/proc/" + std::to_string(group) + "/comm", std::ios::binary);
  std::string name((std::istreambuf_iterator<char>(comm)), {});
  if (!name.empty() && name.back() == '\n') name.pop_back();  // the file's own line end
  if (name.empty()) return std::nullopt;
  // Any process may name itself: nothing but printable ASCII goes on.
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7e || c == '|') c = '_';
  }
  return name;
}

}  // namespace tarnix::host
