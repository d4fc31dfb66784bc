#pragma once
// Metadata values and ordered metadata lists carried by log entries.

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace tarnix::base {

class LoggerMetadata;
class LoggerMetadataValue;

/// Customisation point: a type becomes usable as a metadata value by providing a free function
/// `LoggerMetadataValue loggerMetadataValue(const T&)` found by argument-dependent lookup.
template <class T>
concept HasLoggerMetadataValue = requires(const T& value) {
  { loggerMetadataValue(value) } -> std::same_as<LoggerMetadataValue>;
};

/// One metadata value: bool, int, uint, double, string, dictionary, array or nil. Values are
/// immutable; copies share nested dictionaries and arrays.
class LoggerMetadataValue {
 public:
  using Array = std::vector<LoggerMetadataValue>;
  struct Nil {
    bool operator==(const Nil&) const = default;
  };

  LoggerMetadataValue() : storage_(Nil{}) {}
  LoggerMetadataValue(Nil) : storage_(Nil{}) {}
  LoggerMetadataValue(std::nullptr_t) : storage_(Nil{}) {}
  template <class T>
    requires std::same_as<T, bool>
  LoggerMetadataValue(T value) : storage_(value) {}
  template <class T>
    requires(std::signed_integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>)
  LoggerMetadataValue(T value) : storage_(static_cast<std::int64_t>(value)) {}
  template <class T>
    requires(std::unsigned_integral<T> && !std::same_as<T, bool>)
  LoggerMetadataValue(T value) : storage_(static_cast<std::uint64_t>(value)) {}
  template <class T>
    requires std::floating_point<T>
  LoggerMetadataValue(T value) : storage_(static_cast<double>(value)) {}
  LoggerMetadataValue(std::string value) : storage_(std::move(value)) {}
  LoggerMetadataValue(std::string_view value) : storage_(std::string(value)) {}
  LoggerMetadataValue(const char* value) : storage_(std::string(value ? value : "")) {}
  LoggerMetadataValue(LoggerMetadata dictionary);
  LoggerMetadataValue(Array array);
  LoggerMetadataValue(std::initializer_list<LoggerMetadataValue> array) : LoggerMetadataValue(Array(array)) {}
  template <class T>
  LoggerMetadataValue(const std::optional<T>& value)
      : LoggerMetadataValue(value ? LoggerMetadataValue(*value) : LoggerMetadataValue()) {}
  template <class T>
  LoggerMetadataValue(const std::vector<T>& values) : LoggerMetadataValue(toArray(values)) {}
  template <class T>
  LoggerMetadataValue(const std::set<T>& values) : LoggerMetadataValue(toArray(values)) {}
  template <class T>
  LoggerMetadataValue(const std::map<std::string, T>& values);
  template <class T>
  LoggerMetadataValue(const std::unordered_map<std::string, T>& values);
  template <class T>
    requires HasLoggerMetadataValue<T>
  LoggerMetadataValue(const T& value) : LoggerMetadataValue(loggerMetadataValue(value)) {}

  bool isNil() const { return std::holds_alternative<Nil>(storage_); }
  const bool* asBool() const { return std::get_if<bool>(&storage_); }
  const std::int64_t* asInt() const { return std::get_if<std::int64_t>(&storage_); }
  const std::uint64_t* asUInt() const { return std::get_if<std::uint64_t>(&storage_); }
  const double* asDouble() const { return std::get_if<double>(&storage_); }
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const LoggerMetadata* asDictionary() const;
  const Array* asArray() const;

  /// The text used in log lines: true/false, decimal integers, shortest round-trip doubles,
  /// strings in double quotes (unescaped), "[...]" for dictionaries and arrays, "<nil>".
  std::string description() const;
  void appendDescription(std::string& out) const;

  bool operator==(const LoggerMetadataValue& other) const;

 private:
  template <class C>
  static Array toArray(const C& values) {
    Array array;
    array.reserve(values.size());
    for (const auto& v : values) array.emplace_back(v);
    return array;
  }

  std::variant<Nil, bool, std::int64_t, std::uint64_t, double, std::string,
               std::shared_ptr<const LoggerMetadata>, std::shared_ptr<const Array>>
      storage_;
};

/// An ordered list of (key, value) entries. Order is significant and printed.
class LoggerMetadata {
 public:
  using Entry = std::pair<std::string, LoggerMetadataValue>;

  LoggerMetadata() = default;
  /// Builds from a literal list by writing each pair in order (a repeated key moves last).
  LoggerMetadata(std::initializer_list<Entry> entries);

  const std::vector<Entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  void reserveCapacity(std::size_t n) { entries_.reserve(n); }

  /// The value of the first entry with `key`.
  std::optional<LoggerMetadataValue> get(std::string_view key) const;
  /// Removes every entry with `key`, then appends (key, value) unless value is none.
  void set(std::string_view key, std::optional<LoggerMetadataValue> value);
  /// Writes each entry of `other`, in order, with `set`.
  void merge(const LoggerMetadata& other);

  /// "[:]" when empty, else "[key: value, ...]".
  std::string description() const;
  void appendDescription(std::string& out) const;

  bool operator==(const LoggerMetadata& other) const = default;

 private:
  std::vector<Entry> entries_;
};

template <class T>
LoggerMetadataValue::LoggerMetadataValue(const std::map<std::string, T>& values) {
  LoggerMetadata dictionary;
  for (const auto& [k, v] : values) dictionary.set(k, LoggerMetadataValue(v));
  *this = LoggerMetadataValue(std::move(dictionary));
}

template <class T>
LoggerMetadataValue::LoggerMetadataValue(const std::unordered_map<std::string, T>& values) {
  LoggerMetadata dictionary;
  for (const auto& [k, v] : values) dictionary.set(k, LoggerMetadataValue(v));
  *this = LoggerMetadataValue(std::move(dictionary));
}

}  // namespace tarnix::base
