#include "fileprovider/content/DownloadResponse.hpp"

#include <charconv>
#include <fstream>
#include <string_view>

#include "base/HTTPHeaderName.hpp"
#include "cloudfs/TarnixURLSession.hpp"

namespace tarnix::fileprovider {

namespace {

std::optional<std::int64_t> number(std::string_view text) {
  std::int64_t value = 0;
  if (text.empty()) return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

}  // namespace

bool entityTagNames(const cloudfs::HTTPURLResponse& response,
                    const common::CloudEntryIdentifier& entryID) {
  auto tag = response.value(base::HTTPHeaderName::eTag);
  if (!tag) return false;
  std::string_view text = *tag;
  if (text.starts_with("W/")) text.remove_prefix(2);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  }
  return text == entryID.rawValue;
}

std::optional<ContentRange> parseContentRange(const cloudfs::HTTPURLResponse& response) {
  auto header = response.value(base::HTTPHeaderName("Content-Range"));
  if (!header) return std::nullopt;
  std::string_view text = *header;
  if (!text.starts_with("bytes ")) return std::nullopt;
  text.remove_prefix(6);
  auto dash = text.find('-');
  auto slash = text.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) {
    return std::nullopt;
  }
  auto first = number(text.substr(0, dash));
  auto last = number(text.substr(dash + 1, slash - dash - 1));
  auto complete = number(text.substr(slash + 1));
  if (!first || !last || !complete || *first > *last || *last >= *complete) return std::nullopt;
  return ContentRange{*first, *last, *complete};
}

std::string readErrorBody(const std::filesystem::path& file, std::size_t limit) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string body(limit, '\0');
  in.read(body.data(), static_cast<std::streamsize>(limit));
  body.resize(static_cast<std::size_t>(in.gcount()));
  return body;
}

void discardResumeData(std::string_view resumeData) {
  if (auto info = cloudfs::inspectResumeData(resumeData)) {
    std::error_code ignored;
    std::filesystem::remove(info->file, ignored);
  }
}

std::expected<void, std::error_code> moveFile(const std::filesystem::path& from,
                                              const std::filesystem::path& to) {
  std::error_code ec;
  std::filesystem::rename(from, to, ec);
  if (!ec) return {};
  if (ec != std::errc::cross_device_link) return std::unexpected(ec);
  ec.clear();
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(to, ignored);
    return std::unexpected(ec);
  }
  std::filesystem::remove(from, ec);
  return {};
}

}  // namespace tarnix::fileprovider
