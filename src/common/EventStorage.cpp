#include "common/EventStorage.hpp"

namespace tarnix::common {

namespace {

constexpr const char* kInsert =
    "INSERT INTO Events(sourceProcessIdentifier, eventName, eventData, timestamp) VALUES(?,?,?,?)";
constexpr const char* kSelectSince =
    "SELECT eventIdentifier, eventName, eventData\n"
    "FROM Events\n"
    "WHERE eventIdentifier > ? AND sourceProcessIdentifier != ?\n"
    "ORDER BY eventIdentifier ASC";
constexpr const char* kSelectMostRecent = "SELECT MAX(eventIdentifier) FROM Events";
constexpr const char* kDeleteOlder = "DELETE FROM Events WHERE timestamp < ?";

}  // namespace

bool EventStorage::store(const std::vector<RawPersistedEvent>& events,
                         std::int64_t sourceProcessIdentifier, base::Date timestamp) {
  if (events.empty()) return true;
  const auto stamp = base::formatISO8601(timestamp);
  auto written = database_->transaction([&]() -> std::expected<void, MainDatabaseError> {
    for (const auto& event : events) {
      auto inserted =
          database_->execute(kInsert, {sourceProcessIdentifier, event.name, event.data, stamp});
      if (!inserted) return std::unexpected(inserted.error());
    }
    return {};
  });
  if (!written) {
    logger_.error("Writing events failed", {{"error", written.error().message}});
    return false;
  }
  return true;
}

std::vector<StoredEvent> EventStorage::events(std::int64_t since, std::int64_t excludeProcess) {
  auto rows = database_->query(kSelectSince, {since, excludeProcess});
  if (!rows) {
    logger_.error("Reading events failed", {{"error", rows.error().message}});
    return {};
  }
  std::vector<StoredEvent> events;
  for (const auto& row : *rows) {
    auto identifier = row.size() == 3 ? sqlInteger(row[0]) : std::nullopt;
    auto name = identifier ? sqlText(row[1]) : std::nullopt;
    auto data = name ? sqlText(row[2]) : std::nullopt;
    if (!data) {
      logger_.error("Reading events failed", {{"error", "a row of unexpected shape"}});
      continue;
    }
    events.push_back({*identifier, {std::move(*name), std::move(*data)}});
  }
  return events;
}

std::optional<std::int64_t> EventStorage::mostRecentEventIdentifier() {
  auto rows = database_->query(kSelectMostRecent);
  if (!rows || rows->size() != 1 || (*rows)[0].size() != 1) {
    logger_.error("Reading most recent event identifier failed",
                  {{"error", rows ? std::string("no row") : rows.error().message}});
    return std::nullopt;
  }
  return sqlInteger((*rows)[0][0]).value_or(0);
}

std::int64_t EventStorage::deleteEvents(base::Date cutoff) {
  auto deleted = database_->execute(kDeleteOlder, {base::formatISO8601(cutoff)});
  if (!deleted) {
    logger_.error("Deleting events failed", {{"error", deleted.error().message}});
    return 0;
  }
  return *deleted;
}

std::int64_t EventStorage::count() {
  auto rows = database_->query("SELECT COUNT(*) FROM Events");
  if (!rows || rows->empty() || (*rows)[0].empty()) return 0;
  return sqlInteger((*rows)[0][0]).value_or(0);
}

}  // namespace tarnix::common
