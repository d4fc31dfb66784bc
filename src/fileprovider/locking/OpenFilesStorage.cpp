#include "fileprovider/locking/OpenFilesStorage.hpp"

namespace tarnix::fileprovider {

using common::Database;
using common::DatabaseResult;

namespace {

constexpr const char* kInsert = "INSERT OR REPLACE INTO OpenFiles VALUES (?, ?, ?, ?, ?, ?)";

OpenFile openFileFromRow(const common::Statement& row) {
  OpenFile file;
  const auto identifier = row.text(0);
  file.itemIdentifier = common::SyncFileIdentifier::fromPrefixed(identifier)
                            .value_or(common::SyncFileIdentifier{identifier});
  if (!row.isNull(1)) file.pid = row.int64(1);
  file.appName = row.optionalText(2);
  file.timestamp = row.date(3).value_or(base::Date{});
  file.appVersion = row.optionalText(4);
  file.path = row.optionalText(5);
  return file;
}

DatabaseResult<void> insert(Database& db, const OpenFile& file) {
  auto statement = db.prepare(kInsert);
  if (!statement) return std::unexpected(statement.error());
  statement->bind(1, file.itemIdentifier.description())
      .bind(2, file.pid)
      .bind(3, file.appName)
      .bind(4, file.timestamp)
      .bind(5, file.appVersion)
      .bind(6, file.path);
  return statement->run();
}

DatabaseResult<std::vector<OpenFile>> select(Database& db, const common::SyncFileIdentifier* file) {
  auto statement = db.prepare(file ? "SELECT * FROM OpenFiles WHERE itemIdentifier = ?"
                                   : "SELECT * FROM OpenFiles");
  if (!statement) return std::unexpected(statement.error());
  if (file) statement->bind(1, file->description());
  std::vector<OpenFile> files;
  while (true) {
    auto row = statement->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    files.push_back(openFileFromRow(*statement));
  }
  return files;
}

template <class T>
DatabaseResult<T> logged(DatabaseResult<T> result, const base::Logger& logger, const char* what) {
  if (!result) logger.error(what, {{"error", result.error().description()}});
  return result;
}

}  // namespace

OpenFilesStorage::OpenFilesStorage(std::shared_ptr<common::DatabaseQueue> dbQueue,
                                   base::Logger logger)
    : dbQueue_(std::move(dbQueue)), logger_(std::move(logger)) {}

DatabaseResult<std::vector<OpenFile>> OpenFilesStorage::openFiles() const {
  return logged(
      dbQueue_->read<std::vector<OpenFile>>([](Database& db) { return select(db, nullptr); }),
      logger_, "Reading opened files from DB failed.");
}

DatabaseResult<std::vector<OpenFile>> OpenFilesStorage::openFiles(
    const common::SyncFileIdentifier& file) const {
  return logged(
      dbQueue_->read<std::vector<OpenFile>>([&](Database& db) { return select(db, &file); }),
      logger_, "Reading opened file from DB failed.");
}

DatabaseResult<void> OpenFilesStorage::add(const OpenFile& file) {
  return logged(dbQueue_->write<void>([&](Database& db) { return insert(db, file); }), logger_,
                "Adding open file to DB failed.");
}

DatabaseResult<void> OpenFilesStorage::remove(const common::SyncFileIdentifier& file) {
  return logged(dbQueue_->write<void>([&](Database& db) -> DatabaseResult<void> {
    auto statement = db.prepare("DELETE FROM OpenFiles WHERE itemIdentifier = ?");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, file.description());
    return statement->run();
  }),
                logger_, "Removing open file from DB failed.");
}

DatabaseResult<void> OpenFilesStorage::replaceAll(const std::vector<OpenFile>& files) {
  return logged(dbQueue_->write<void>([&](Database& db) -> DatabaseResult<void> {
    auto clear = db.prepare("DELETE FROM OpenFiles");
    if (!clear) return std::unexpected(clear.error());
    if (auto ran = clear->run(); !ran) return ran;
    for (const auto& file : files) {
      if (auto added = insert(db, file); !added) return added;
    }
    return {};
  }),
                logger_, "Adding opened files to DB failed.");
}

}  // namespace tarnix::fileprovider
