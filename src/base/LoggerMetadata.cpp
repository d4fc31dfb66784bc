#include "base/LoggerMetadata.hpp"

#include <fmt/format.h>

namespace tarnix::base {

LoggerMetadataValue::LoggerMetadataValue(LoggerMetadata dictionary)
    : storage_(std::make_shared<const LoggerMetadata>(std::move(dictionary))) {}

LoggerMetadataValue::LoggerMetadataValue(Array array)
    : storage_(std::make_shared<const Array>(std::move(array))) {}

const LoggerMetadata* LoggerMetadataValue::asDictionary() const {
  auto* p = std::get_if<std::shared_ptr<const LoggerMetadata>>(&storage_);
  return p ? p->get() : nullptr;
}

const LoggerMetadataValue::Array* LoggerMetadataValue::asArray() const {
  auto* p = std::get_if<std::shared_ptr<const Array>>(&storage_);
  return p ? p->get() : nullptr;
}

bool LoggerMetadataValue::operator==(const LoggerMetadataValue& other) const {
  if (storage_.index() != other.storage_.index()) return false;
  if (auto* d = asDictionary()) return *d == *other.asDictionary();
  if (auto* a = asArray()) return *a == *other.asArray();
  return storage_ == other.storage_;
}

namespace {
// Shortest text that reads back to the same double, always showing that it is a floating
// point number ("1.0", not "1").
void appendDouble(std::string& out, double value) {
  auto text = fmt::format("{}", value);
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  out += text;
}
}  // namespace

void LoggerMetadataValue::appendDescription(std::string& out) const {
  struct Visitor {
    std::string& out;
    void operator()(const Nil&) const { out += "<nil>"; }
    void operator()(bool v) const { out += v ? "true" : "false"; }
    void operator()(std::int64_t v) const { fmt::format_to(std::back_inserter(out), "{}", v); }
    void operator()(std::uint64_t v) const { fmt::format_to(std::back_inserter(out), "{}", v); }
    void operator()(double v) const { appendDouble(out, v); }
    void operator()(const std::string& v) const {
      out += '"';
      out += v;
      out += '"';
    }
    void operator()(const std::shared_ptr<const LoggerMetadata>& v) const {
      v->appendDescription(out);
    }
    void operator()(const std::shared_ptr<const Array>& v) const {
      out += '[';
      bool first = true;
      for (const auto& element : *v) {
        if (!first) out += ", ";
        first = false;
        element.appendDescription(out);
      }
      out += ']';
    }
  };
  std::visit(Visitor{out}, storage_);
}

std::string LoggerMetadataValue::description() const {
  std::string out;
  appendDescription(out);
  return out;
}

LoggerMetadata::LoggerMetadata(std::initializer_list<Entry> entries) {
  entries_.reserve(entries.size());
  for (const auto& [k, v] : entries) set(k, v);
}

std::optional<LoggerMetadataValue> LoggerMetadata::get(std::string_view key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) return v;
  }
  return std::nullopt;
}

void LoggerMetadata::set(std::string_view key, std::optional<LoggerMetadataValue> value) {
  std::erase_if(entries_, [&](const Entry& e) { return e.first == key; });
  if (value) entries_.emplace_back(std::string(key), std::move(*value));
}

void LoggerMetadata::merge(const LoggerMetadata& other) {
  for (const auto& [k, v] : other.entries_) set(k, v);
}

void LoggerMetadata::appendDescription(std::string& out) const {
  if (entries_.empty()) {
    out += "[:]";
    return;
  }
  out += '[';
  bool first = true;
  for (const auto& [k, v] : entries_) {
    if (!first) out += ", ";
    first = false;
    out += k;
    out += ": ";
    v.appendDescription(out);
  }
  out += ']';
}

std::string LoggerMetadata::description() const {
  std::string out;
  appendDescription(out);
  return out;
}

}  // namespace tarnix::base
