#include "common/DomainDataStorage.hpp"

#include "base/Hash.hpp"

namespace tarnix::common {

DomainVersionRecord DomainVersionRecord::fresh() {
  // A version counter of 1, little endian, as the archive holds it.
  const std::string counter("\x01\0\0\0\0\0\0\0", 8);
  return {base::base64Encode(counter), "1"};
}

DomainDataStorage::DomainDataStorage(std::shared_ptr<DatabaseQueue> dbQueue,
                                     std::string domainIdentifier,
                                     std::shared_ptr<base::Logger> logger)
    : dbQueue_(std::move(dbQueue)),
      domainIdentifier_(std::move(domainIdentifier)),
      logger_(std::move(logger)) {}

DatabaseResult<std::optional<DomainVersionRecord>> DomainDataStorage::domainVersion() const {
  return dbQueue_->read<std::optional<DomainVersionRecord>>(
      [&](Database& db) -> DatabaseResult<std::optional<DomainVersionRecord>> {
        auto statement = db.prepare(
            "SELECT domainVersion, domainVersionHumanReadable FROM DomainData WHERE "
            "domainIdentifier = ?");
        if (!statement) return std::unexpected(statement.error());
        statement->bind(1, domainIdentifier_);
        auto row = statement->step();
        if (!row) return std::unexpected(row.error());
        if (!*row) return std::optional<DomainVersionRecord>{};
        return DomainVersionRecord{statement->text(0), statement->text(1)};
      });
}

DatabaseResult<void> DomainDataStorage::replaceDomainVersion(const DomainVersionRecord& version) {
  auto result = dbQueue_->write<void>([&](Database& db) -> DatabaseResult<void> {
    auto statement = db.prepare(
        "INSERT OR REPLACE INTO DomainData (domainIdentifier, domainVersion, "
        "domainVersionHumanReadable, graveyardRank, snapshotRevision) VALUES (?1, ?2, ?3, "
        "COALESCE((SELECT graveyardRank FROM DomainData WHERE domainIdentifier = ?1), 0), "
        "COALESCE((SELECT snapshotRevision FROM DomainData WHERE domainIdentifier = ?1), 0))");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, domainIdentifier_).bind(2, version.encoded).bind(3, version.humanReadable);
    return statement->run();
  });
  if (!result && logger_) {
    TLOG_ERROR(*logger_, "Replacing domain version failed",
               {{"error", result.error().description()}});
  }
  return result;
}

}  // namespace tarnix::common
