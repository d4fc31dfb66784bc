#pragma once
// The drive's domain version, kept in the single DomainData row of the item database.
#include <memory>
#include <string>

#include "base/Logger.hpp"
#include "common/DatabaseQueue.hpp"

namespace tarnix::common {

/// The archived framework domain version (base64 text) and its description.
struct DomainVersionRecord {
  std::string encoded;
  std::string humanReadable;
  bool operator==(const DomainVersionRecord&) const = default;

  /// The version a new database starts with.
  static DomainVersionRecord fresh();
};

class DomainDataStorage {
 public:
  DomainDataStorage(std::shared_ptr<DatabaseQueue> dbQueue, std::string domainIdentifier,
                    std::shared_ptr<base::Logger> logger);

  /// The stored version; none when the row is missing. Any thread.
  DatabaseResult<std::optional<DomainVersionRecord>> domainVersion() const;
  /// Replaces the stored version (on the writer queue; waits).
  DatabaseResult<void> replaceDomainVersion(const DomainVersionRecord& version);

 private:
  std::shared_ptr<DatabaseQueue> dbQueue_;
  std::string domainIdentifier_;
  std::shared_ptr<base::Logger> logger_;
};

}  // namespace tarnix::common
