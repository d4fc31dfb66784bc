#pragma once
// A request to the desktop application to start or stop badging a file, archived as one JSON
// object {"url": <file URL text>, "change": <raw value>}.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

namespace tarnix::fileprovider {

enum class BadgeSubscriptionChange : std::int64_t { subscribe = 0, unsubscribe = 1 };

struct BadgeDemandDecodingError {
  std::string message;
};

struct BadgeDemand {
  std::filesystem::path url;
  BadgeSubscriptionChange change = BadgeSubscriptionChange::subscribe;

  std::string archived() const;
  /// Refuses anything but an object with an absolute "url" and a known "change".
  static std::expected<BadgeDemand, BadgeDemandDecodingError> unarchive(const std::string& bytes);

  bool operator==(const BadgeDemand&) const = default;
};

}  // namespace tarnix::fileprovider
