#include "host/ReplicaError.hpp"

namespace tarnix::host {

std::string ReplicaError::description() const {
  static constexpr std::pair<Kind, const char*> kNames[] = {
      {Kind::noSuchItem, "no such item"},
      {Kind::isFolder, "a folder"},
      {Kind::notReadable, "not readable"},
      {Kind::notWritable, "not writable"},
      {Kind::extension, "the extension failed"},
      {Kind::store, "the replica store failed"},
      {Kind::fileSystem, "a replica file failed"},
      {Kind::sizeMismatch, "contents of the wrong size"},
      {Kind::rangeNotDelivered, "range not delivered"},
  };
  std::string name = "replica error " + std::to_string(static_cast<int>(kind));
  for (const auto& [k, text] : kNames)
    if (k == kind) name = text;
  return detail.empty() ? name : name + ": " + detail;
}

}  // namespace tarnix::host
