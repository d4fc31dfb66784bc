#include "platform/detail/JSONObjectSalvage.hpp"

#include <string>
#include <vector>

namespace tarnix::platform::detail {
namespace {

using base::JSONValue;

// Builds values as the parser reports them; a member reaches the root object only once its
// value is complete, so the root holds exactly the whole members when parsing stops.
class SalvagingHandler : public nlohmann::json_sax<JSONValue> {
 public:
  JSONValue recovered() && {
    if (stack_.empty() || !stack_.front().is_object()) return JSONValue::object();
    return std::move(stack_.front());
  }

  bool null() override { return add(nullptr); }
  bool boolean(bool value) override { return add(value); }
  bool number_integer(number_integer_t value) override { return add(value); }
  bool number_unsigned(number_unsigned_t value) override { return add(value); }
  bool number_float(number_float_t value, const string_t&) override { return add(value); }
  bool string(string_t& value) override { return add(std::move(value)); }
  bool binary(binary_t& value) override { return add(JSONValue::binary(std::move(value))); }
  bool start_object(std::size_t) override { return open(JSONValue::object()); }
  bool key(string_t& value) override {
    keys_.back() = std::move(value);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(JSONValue::array()); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool open(JSONValue container) {
    // Only an object at the top is worth keeping; stop at once otherwise.
    if (stack_.empty() && !container.is_object()) return false;
    stack_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }
  bool close() {
    if (stack_.size() == 1) {
      finished_ = true;
      return true;
    }
    JSONValue value = std::move(stack_.back());
    stack_.pop_back();
    keys_.pop_back();
    return add(std::move(value));
  }
  bool add(JSONValue value) {
    if (stack_.empty() || finished_) return false;
    auto& container = stack_.back();
    if (container.is_object()) {
      container[keys_.back()] = std::move(value);
    } else {
      container.push_back(std::move(value));
    }
    return true;
  }

  std::vector<JSONValue> stack_;
  std::vector<std::string> keys_;
  bool finished_ = false;
};

}  // namespace

JSONValue salvageJSONObjectMembers(std::string_view text) {
  SalvagingHandler handler;
  try {
    (void)JSONValue::sax_parse(text, &handler);
  } catch (const std::exception&) {
    // The handler keeps what was complete; nothing else to do.
  }
  return std::move(handler).recovered();
}

}  // namespace tarnix::platform::detail
