#include "fileprovider/items/BadgeDemand.hpp"

#include "base/JSONValue.hpp"

namespace tarnix::fileprovider {

namespace {
constexpr std::string_view kFileScheme = "file://";
}

std::string BadgeDemand::archived() const {
  base::JSONValue object = base::JSONValue::object();
  object["url"] = std::string(kFileScheme) + url.string();
  object["change"] = static_cast<std::int64_t>(change);
  return object.dump();
}

std::expected<BadgeDemand, BadgeDemandDecodingError> BadgeDemand::unarchive(
    const std::string& bytes) {
  auto fail = [](std::string message) {
    return std::unexpected(BadgeDemandDecodingError{std::move(message)});
  };
  auto parsed = base::parseJSON(bytes);
  if (!parsed || !parsed->is_object()) return fail("A badge demand is a JSON object");
  const auto url = parsed->find("url");
  const auto change = parsed->find("change");
  if (url == parsed->end() || !url->is_string()) return fail("A badge demand needs a url");
  if (change == parsed->end() || !change->is_number_integer()) {
    return fail("A badge demand needs a change");
  }
  const auto text = url->get<std::string>();
  if (!text.starts_with(kFileScheme) || text.size() <= kFileScheme.size() ||
      text[kFileScheme.size()] != '/') {
    return fail("A badge demand's url must be an absolute file URL");
  }
  const auto raw = change->get<std::int64_t>();
  if (raw != 0 && raw != 1) return fail("Unknown badge subscription change " + std::to_string(raw));
  return BadgeDemand{std::filesystem::path(text.substr(kFileScheme.size())),
                     static_cast<BadgeSubscriptionChange>(raw)};
}

}  // namespace tarnix::fileprovider
