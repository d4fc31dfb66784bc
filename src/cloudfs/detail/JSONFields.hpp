#pragma once
// Typed reads of the members of a JSON object from the cloud. The first missing or mistyped
// required member is remembered as `CloudFSError::fieldParsingError(name)`; reads after an
// error return empty values.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/JSONValue.hpp"
#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/CloudFSResponse.hpp"

namespace tarnix::cloudfs::detail {

class JSONFields {
 public:
  /// `prefix` goes before member names in errors ("files[2].").
  JSONFields(const base::JSONValue& object, std::string prefix = {});

  std::string string(std::string_view key);
  std::optional<std::string> optionalString(std::string_view key);
  /// A text, or an integer written as its decimal text (identifiers come as either).
  std::string identifier(std::string_view key);
  std::optional<std::string> optionalIdentifier(std::string_view key);
  std::int64_t integer(std::string_view key);
  std::optional<std::int64_t> optionalInteger(std::string_view key);
  bool boolean(std::string_view key);
  std::optional<bool> optionalBoolean(std::string_view key);
  /// The member when it is an array (required) or an object.
  const base::JSONValue* array(std::string_view key);
  const base::JSONValue* optionalArray(std::string_view key);
  const base::JSONValue* optionalObject(std::string_view key);

  /// Records an error found by the caller (the first one wins).
  void fail(std::string_view key);
  /// Takes over the error of a nested object's reader, if it has one and this has none.
  void adopt(const JSONFields& nested) {
    if (!error_ && nested.error_) error_ = nested.error_;
  }
  bool ok() const { return !error_; }
  const std::optional<CloudFSError>& error() const { return error_; }
  std::string name(std::string_view key) const { return prefix_ + std::string(key); }

 private:
  const base::JSONValue* member(std::string_view key, bool required);

  const base::JSONValue& object_;
  std::string prefix_;
  std::optional<CloudFSError> error_;
};

/// Decodes each element of `array` (may be null) with `decode(JSONFields&)`; a failing element
/// is named "key[i].field" in `parent`'s error.
template <class T, class Decode>
std::vector<T> decodeEach(JSONFields& parent, const base::JSONValue* array, std::string_view key,
                          Decode decode) {
  std::vector<T> out;
  if (!array) return out;
  for (std::size_t i = 0; i < array->size() && parent.ok(); ++i) {
    JSONFields element((*array)[i], parent.name(key) + "[" + std::to_string(i) + "].");
    out.push_back(decode(element));
    parent.adopt(element);
  }
  return out;
}

/// The body of `response` parsed as a JSON object: `missingBody` when there is none,
/// `fieldParsingError("body")` when it is not a JSON object.
std::expected<base::JSONValue, CloudFSError> jsonObjectBody(const CloudFSResponse& response);

/// Decodes the JSON object body of `response` with `decode(JSONFields&)`: `missingBody`, or the
/// first field error.
template <class T, class Decode>
std::expected<T, CloudFSError> decodeBody(const CloudFSResponse& response, Decode decode) {
  auto json = jsonObjectBody(response);
  if (!json) return std::unexpected(json.error());
  JSONFields fields(*json);
  T value = decode(fields);
  if (!fields.ok()) return std::unexpected(*fields.error());
  return value;
}

}  // namespace tarnix::cloudfs::detail
