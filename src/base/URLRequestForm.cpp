#include "base/URLRequestForm.hpp"

#include "base/UTF8.hpp"

namespace tarnix::base {
namespace {

void appendEncoded(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '*' || c == '-' || c == '.' || c == '_';
    if (plain) {
      out.push_back(c);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0xF]);
    }
  }
}

}  // namespace

std::string URLRequestFormError::description() const {
  if (auto* bad = std::get_if<BadField>(&reason)) {
    return "Cannot encode form field '" + bad->name + "'";
  }
  return "Form contains characters that are not UTF-8";
}

std::expected<std::string, URLRequestFormError> URLRequestForm::encoded() const {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!isValidUTF8(name) || !isValidUTF8(value)) {
      return std::unexpected(URLRequestFormError::badField(name, value));
    }
    if (!out.empty()) out.push_back('&');
    appendEncoded(name, out);
    out.push_back('=');
    appendEncoded(value, out);
  }
  return out;
}

}  // namespace tarnix::base
