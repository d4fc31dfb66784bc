#include "cloudfs/detail/JSONFields.hpp"

namespace tarnix::cloudfs::detail {

JSONFields::JSONFields(const base::JSONValue& object, std::string prefix)
    : object_(object), prefix_(std::move(prefix)) {
  if (!object_.is_object()) fail("");
}

void JSONFields::fail(std::string_view key) {
  if (!error_) {
    std::string field = name(key);
    if (!field.empty() && field.back() == '.') field.pop_back();
    error_ = CloudFSError::fieldParsingError(field.empty() ? "body" : field);
  }
}

const base::JSONValue* JSONFields::member(std::string_view key, bool required) {
  if (error_ || !object_.is_object()) return nullptr;
  auto it = object_.find(key);
  if (it == object_.end() || it->is_null()) {
    if (required) fail(key);
    return nullptr;
  }
  return &*it;
}

std::string JSONFields::string(std::string_view key) {
  if (auto* m = member(key, true)) {
    if (m->is_string()) return m->get<std::string>();
    fail(key);
  }
  return {};
}

std::optional<std::string> JSONFields::optionalString(std::string_view key) {
  if (auto* m = member(key, false)) {
    if (m->is_string()) return m->get<std::string>();
    fail(key);
  }
  return std::nullopt;
}

std::optional<std::string> JSONFields::optionalIdentifier(std::string_view key) {
  if (auto* m = member(key, false)) {
    if (m->is_string()) return m->get<std::string>();
    if (m->is_number_integer()) return m->dump();
    fail(key);
  }
  return std::nullopt;
}

std::string JSONFields::identifier(std::string_view key) {
  if (!member(key, true)) return {};
  return optionalIdentifier(key).value_or("");
}

std::optional<std::int64_t> JSONFields::optionalInteger(std::string_view key) {
  if (auto* m = member(key, false)) {
    if (m->is_number_integer() &&
        !(m->is_number_unsigned() &&
          m->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))) {
      return m->get<std::int64_t>();
    }
    fail(key);
  }
  return std::nullopt;
}

std::int64_t JSONFields::integer(std::string_view key) {
  if (!member(key, true)) return 0;
  return optionalInteger(key).value_or(0);
}

std::optional<bool> JSONFields::optionalBoolean(std::string_view key) {
  if (auto* m = member(key, false)) {
    if (m->is_boolean()) return m->get<bool>();
    fail(key);
  }
  return std::nullopt;
}

bool JSONFields::boolean(std::string_view key) {
  if (!member(key, true)) return false;
  return optionalBoolean(key).value_or(false);
}

const base::JSONValue* JSONFields::optionalArray(std::string_view key) {
  if (auto* m = member(key, false)) {
    if (m->is_array()) return m;
    fail(key);
  }
  return nullptr;
}

const base::JSONValue* JSONFields::array(std::string_view key) {
  if (!member(key, true)) return nullptr;
  return optionalArray(key);
}

const base::JSONValue* JSONFields::optionalObject(std::string_view key) {
  if (auto* m = member(key, false)) {
    if (m->is_object()) return m;
    fail(key);
  }
  return nullptr;
}

std::expected<base::JSONValue, CloudFSError> jsonObjectBody(const CloudFSResponse& response) {
  if (!response.body || response.body->empty()) {
    return std::unexpected(CloudFSError::missingBody());
  }
  auto json = base::parseJSON(*response.body);
  if (!json || !json->is_object()) {
    return std::unexpected(CloudFSError::fieldParsingError("body"));
  }
  return std::move(*json);
}

}  // namespace tarnix::cloudfs::detail
