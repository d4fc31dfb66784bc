#include "common/NewFileFailedUploadStorage.hpp"

namespace tarnix::common {

DatabaseResult<void> NewFileFailedUploadStorage::add(const NewFileFailedUpload& entry) {
  return dbQueue_->write<void>([&](Database& db) -> DatabaseResult<void> {
    auto statement = db.prepare(
        "INSERT OR REPLACE INTO NewFileFailedUploads (parentItemIdentifier, filename, checksum) "
        "VALUES (?, ?, ?)");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, entry.parentItemIdentifier.description())
        .bind(2, entry.filename)
        .bind(3, entry.checksum);
    return statement->run();
  });
}

DatabaseResult<std::optional<NewFileFailedUpload>> NewFileFailedUploadStorage::entry(
    const SyncFolderIdentifier& parentItemIdentifier, const std::string& filename) {
  using Result = std::optional<NewFileFailedUpload>;
  return dbQueue_->read<Result>([&](Database& db) -> DatabaseResult<Result> {
    auto statement = db.prepare(
        "SELECT * FROM NewFileFailedUploads WHERE parentItemIdentifier = ? AND filename = ?");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, parentItemIdentifier.description()).bind(2, filename);
    auto row = statement->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) return Result{};
    NewFileFailedUpload found;
    found.parentItemIdentifier = parentItemIdentifier;
    for (int column = 0; column < statement->columnCount(); ++column) {
      const auto name = statement->columnName(column);
      if (name == "filename") found.filename = statement->text(column);
      if (name == "checksum") found.checksum = statement->optionalText(column).value_or("");
    }
    return found;
  });
}

DatabaseResult<void> NewFileFailedUploadStorage::remove(
    const SyncFolderIdentifier& parentItemIdentifier, const std::string& filename) {
  return dbQueue_->write<void>([&](Database& db) -> DatabaseResult<void> {
    auto statement = db.prepare(
        "DELETE FROM NewFileFailedUploads WHERE parentItemIdentifier = ? AND filename = ?");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, parentItemIdentifier.description()).bind(2, filename);
    return statement->run();
  });
}

}  // namespace tarnix::common
