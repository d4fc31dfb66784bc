#include "base/JSONValue.hpp"

namespace tarnix::base {

std::expected<JSONValue, JSONError> parseJSON(std::string_view text) {
  try {
    return JSONValue::parse(text.begin(), text.end());
  } catch (const JSONValue::exception& e) {
    return std::unexpected(JSONError{e.what()});
  }
}

std::string dumpJSON(const JSONValue& value, int indent) {
  return value.dump(indent, ' ', false, JSONValue::error_handler_t::replace);
}

namespace {
const JSONValue* member(const JSONValue& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}
}  // namespace

std::optional<std::string> jsonString(const JSONValue& object, std::string_view key) {
  auto* m = member(object, key);
  if (!m || !m->is_string()) return std::nullopt;
  return m->get<std::string>();
}

std::optional<std::int64_t> jsonInt(const JSONValue& object, std::string_view key) {
  auto* m = member(object, key);
  if (!m || !m->is_number_integer()) return std::nullopt;
  if (m->is_number_unsigned() && m->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
    return std::nullopt;
  return m->get<std::int64_t>();
}

std::optional<double> jsonDouble(const JSONValue& object, std::string_view key) {
  auto* m = member(object, key);
  if (!m || !m->is_number()) return std::nullopt;
  return m->get<double>();
}

std::optional<bool> jsonBool(const JSONValue& object, std::string_view key) {
  auto* m = member(object, key);
  if (!m || !m->is_boolean()) return std::nullopt;
  return m->get<bool>();
}

}  // namespace tarnix::base
