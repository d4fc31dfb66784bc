#pragma once
// The transaction helpers of SyncItemStorage, shared by its read and write files.
#include "common/SyncItemStorage.hpp"

namespace tarnix::common {

namespace detail {
/// Runs `body` through `run` (a read or write of the database queue), carrying the body's own
/// error (an ItemStoreError, or any error made from a DatabaseError) through the database
/// layer, which knows only DatabaseError.
template <class T, class E, class Run>
std::expected<T, E> carryingErrors(Run&& run,
                                   const std::function<std::expected<T, E>(Database&)>& body) {
  std::optional<E> bodyError;
  auto result = run([&](Database& db) -> DatabaseResult<T> {
    auto value = body(db);
    if (value) {
      if constexpr (std::is_void_v<T>) {
        return {};
      } else {
        return std::move(*value);
      }
    }
    bodyError = value.error();
    return std::unexpected(DatabaseError{});
  });
  if (bodyError) return std::unexpected(*bodyError);
  if (!result) return std::unexpected(E{result.error()});
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*result);
  }
}
}  // namespace detail

template <class T>
ItemStoreResult<T> SyncItemStorage::read(const std::function<ItemStoreResult<T>(Database&)>& body) {
  return detail::carryingErrors<T>(
      [&](const std::function<DatabaseResult<T>(Database&)>& f) { return dbQueue_->read<T>(f); },
      body);
}

template <class T>
ItemStoreResult<T> SyncItemStorage::write(
    const std::function<ItemStoreResult<T>(Database&)>& body) {
  auto result = detail::carryingErrors<T>(
      [&](const std::function<DatabaseResult<T>(Database&)>& f) { return dbQueue_->write<T>(f); },
      body);
  if (result) {
    didChange();
  } else if (logger_ && result.error().databaseError()) {
    TLOG_ERROR(*logger_, "Item store write failed", {{"error", result.error().description()}});
  }
  return result;
}

}  // namespace tarnix::common
