#include "base/LoggerMetadataConversions.hpp"

namespace tarnix::base {

LoggerMetadataValue loggerMetadataValue(const HTTPStatusCode& status) {
  return LoggerMetadataValue(status.rawValue);
}

LoggerMetadataValue loggerMetadataValue(const JSONValue& value) {
  switch (value.type()) {
    case JSONValue::value_t::null:
    case JSONValue::value_t::discarded:
      return LoggerMetadataValue();
    case JSONValue::value_t::boolean:
      return LoggerMetadataValue(value.get<bool>());
    case JSONValue::value_t::number_integer:
      return LoggerMetadataValue(value.get<std::int64_t>());
    case JSONValue::value_t::number_unsigned:
      return LoggerMetadataValue(value.get<std::uint64_t>());
    case JSONValue::value_t::number_float:
      return LoggerMetadataValue(value.get<double>());
    case JSONValue::value_t::string:
      return LoggerMetadataValue(value.get_ref<const std::string&>());
    case JSONValue::value_t::object: {
      LoggerMetadata dictionary;
      for (const auto& [key, element] : value.items())
        dictionary.set(key, loggerMetadataValue(element));
      return LoggerMetadataValue(std::move(dictionary));
    }
    case JSONValue::value_t::array: {
      LoggerMetadataValue::Array array;
      for (const auto& element : value) array.push_back(loggerMetadataValue(element));
      return LoggerMetadataValue(std::move(array));
    }
    case JSONValue::value_t::binary:
      return LoggerMetadataValue("<binary>");
  }
  return LoggerMetadataValue();
}

namespace {
JSONValue plainValue(const LoggerMetadataValue& value) {
  if (value.isNil()) return nullptr;
  if (auto* b = value.asBool()) return *b;
  if (auto* i = value.asInt()) return *i;
  if (auto* u = value.asUInt()) return *u;
  if (auto* d = value.asDouble()) return *d;
  if (auto* s = value.asString()) return *s;
  if (auto* dictionary = value.asDictionary()) return metadataAsDictionary(*dictionary);
  JSONValue array = JSONValue::array();
  if (auto* elements = value.asArray()) {
    for (const auto& element : *elements) array.push_back(plainValue(element));
  }
  return array;
}
}  // namespace

JSONValue metadataAsDictionary(const LoggerMetadata& metadata) {
  JSONValue object = JSONValue::object();
  for (const auto& [key, value] : metadata.entries()) {
    if (!object.contains(key)) object[key] = plainValue(value);
  }
  return object;
}

}  // namespace tarnix::base
