#pragma once
// Reading a download's answer: its entity tag, its "Content-Range", its error body, and moving
// the downloaded file into place.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "cloudfs/URLRequest.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

/// Whether the answer's "ETag" (quotes and a weak prefix ignored) is `entryID`. An answer
/// without one names no entry.
bool entityTagNames(const cloudfs::HTTPURLResponse& response,
                    const common::CloudEntryIdentifier& entryID);

/// "bytes <first>-<last>/<complete length>".
struct ContentRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
  std::int64_t completeLength = 0;
  bool operator==(const ContentRange&) const = default;
};
/// None when the header is missing, malformed, inverted, or its length is unknown ("*").
std::optional<ContentRange> parseContentRange(const cloudfs::HTTPURLResponse& response);

/// How much of an error body is read.
inline constexpr std::size_t kErrorBodyLimit = 64 * 1024;

/// The first `limit` bytes of `file` (empty when unreadable).
std::string readErrorBody(const std::filesystem::path& file, std::size_t limit);

/// Removes the partly downloaded file that the transport's resume data names.
void discardResumeData(std::string_view resumeData);

/// Renames `from` to `to` (replacing it); across file systems, copies and removes `from`.
std::expected<void, std::error_code> moveFile(const std::filesystem::path& from,
                                              const std::filesystem::path& to);

}  // namespace tarnix::fileprovider
