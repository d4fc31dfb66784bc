#pragma once
// JSON values (nlohmann JSON) with parsing that reports errors instead of throwing.

#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tarnix::base {

/// Objects keep the order in which keys were inserted, so documents we write read naturally.
using JSONValue = nlohmann::ordered_json;

struct JSONError {
  std::string message;
};

/// Parses `text`; a syntax error becomes a JSONError naming the position.
std::expected<JSONValue, JSONError> parseJSON(std::string_view text);

/// Compact text of `value`; invalid UTF-8 in strings is replaced, never thrown.
std::string dumpJSON(const JSONValue& value, int indent = -1);

/// Typed reads of an object member. An absent member or one of another type gives none.
std::optional<std::string> jsonString(const JSONValue& object, std::string_view key);
std::optional<std::int64_t> jsonInt(const JSONValue& object, std::string_view key);
std::optional<double> jsonDouble(const JSONValue& object, std::string_view key);
std::optional<bool> jsonBool(const JSONValue& object, std::string_view key);

}  // namespace tarnix::base
