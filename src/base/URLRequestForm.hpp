#pragma once
// A form body ("application/x-www-form-urlencoded").

#include <expected>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarnix::base {

struct URLRequestFormError {
  struct BadField {
    std::string name;
    std::string value;
    bool operator==(const BadField&) const = default;
  };
  struct NonUTF8Characters {
    bool operator==(const NonUTF8Characters&) const = default;
  };
  std::variant<BadField, NonUTF8Characters> reason;

  static URLRequestFormError badField(std::string name, std::string value) {
    return {BadField{std::move(name), std::move(value)}};
  }
  static URLRequestFormError nonUTF8Characters() { return {NonUTF8Characters{}}; }
  bool operator==(const URLRequestFormError&) const = default;
  std::string description() const;
};

struct URLRequestForm {
  /// Sent in this order.
  std::vector<std::pair<std::string, std::string>> fields;

  /// "name=value&name=value": letters, digits and "*-._" as they are, space as "+", every other
  /// byte as "%XX". A field whose name or value is not UTF-8 fails with `badField`.
  std::expected<std::string, URLRequestFormError> encoded() const;
};

}  // namespace tarnix::base
