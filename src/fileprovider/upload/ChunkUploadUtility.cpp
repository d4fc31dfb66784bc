#include "fileprovider/upload/ChunkUploadUtility.hpp"

#include <algorithm>
#include <charconv>

#include "base/Hash.hpp"

namespace tarnix::fileprovider {

namespace {

std::optional<std::int64_t> parseDecimal(std::string_view text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool sameSecond(base::Date a, base::Date b) {
  using std::chrono::floor;
  using std::chrono::seconds;
  return floor<seconds>(a) == floor<seconds>(b);
}

ChunkPlan restartPlan(std::string reason) {
  ChunkPlan plan;
  plan.restart = true;
  plan.reason = std::move(reason);
  return plan;
}

}  // namespace

ChunkUploadSettings ChunkUploadSettings::clamped(std::int64_t recommendedChunkUploadFileSize,
                                                 std::int64_t recommendedChunkSize) {
  ChunkUploadSettings settings;
  if (recommendedChunkSize > 0) {
    settings.chunkSize = std::clamp(recommendedChunkSize, kMinimumChunkSize, kMaximumChunkSize);
  }
  if (recommendedChunkUploadFileSize > 0) {
    settings.thresholdBytes = std::max(recommendedChunkUploadFileSize, kMinimumChunkSize);
  }
  return settings;
}

namespace ChunkUploadUtility {

std::int64_t totalChunks(std::int64_t contentSize, std::int64_t chunkSize) {
  if (chunkSize <= 0 || contentSize <= 0) return 1;
  return (contentSize - 1) / chunkSize + 1;
}

std::pair<std::int64_t, std::int64_t> chunkRange(std::int64_t chunkNumber, std::int64_t chunkSize,
                                                 std::int64_t contentSize) {
  const std::int64_t offset = (chunkNumber - 1) * chunkSize;
  return {offset, std::clamp<std::int64_t>(contentSize - offset, 0, chunkSize)};
}

ChunkPlan nextChunk(const std::vector<common::UploadChunk>& stored, const ChunkedFileState& file,
                    base::Date now) {
  if (stored.empty()) return ChunkPlan{};
  if (stored.front().chunkSize != file.chunkSize) return restartPlan("chunk size changed");
  if (stored.front().chunkNumber != 1) {
    auto plan = restartPlan("chunk 1 missed to upload");
    return plan;
  }
  // The first gap, and the stored chunk beside it (else the last one) as the reference.
  std::optional<std::int64_t> missing;
  const common::UploadChunk* reference = &stored.back();
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i].chunkNumber >= static_cast<std::int64_t>(i) + 2) {
      missing = static_cast<std::int64_t>(i) + 1;
      reference = &stored[i - 1];
      break;
    }
  }
  const bool retired = reference->firstChunkUploadTime &&
                       now - *reference->firstChunkUploadTime >= kChunkSessionLifetime;
  const bool dateChanged = reference->lastModifiedDate && file.lastModifiedDate &&
                           !sameSecond(*reference->lastModifiedDate, *file.lastModifiedDate);
  const bool contentChanged = reference->fullFileContentChecksum != file.fullFileContentChecksum;
  if (retired || dateChanged || contentChanged) {
    auto plan =
        restartPlan(retired ? "chunk is retired" : "file is modified before upload finished");
    plan.chunkRetired = retired;
    plan.fileWasModifiedBeforeUpload = dateChanged || contentChanged;
    return plan;
  }
  ChunkPlan plan;
  plan.chunkNumber = missing ? *missing : stored.back().chunkNumber + 1;
  if (plan.chunkNumber > file.totalChunks || stored.back().chunkNumber > file.totalChunks) {
    return restartPlan("file is modified before upload finished");
  }
  plan.uploadId = reference->uploadId;
  plan.firstChunkUploadTime = reference->firstChunkUploadTime;
  return plan;
}

std::optional<std::vector<std::int64_t>> missingChunks(std::string_view message,
                                                       std::int64_t totalChunks) {
  if (message.find("Chunks missing:") == std::string_view::npos) return std::nullopt;
  std::string text;
  std::ranges::copy_if(message, std::back_inserter(text), [](char c) { return c != ' '; });
  text = text.substr(text.find(':') + 1);
  std::vector<std::int64_t> numbers;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    auto number = parseDecimal(std::string_view(text).substr(start, comma - start));
    if (number && *number >= 1 && *number <= totalChunks &&
        std::ranges::find(numbers, *number) == numbers.end()) {
      numbers.push_back(*number);
    }
    start = comma + 1;
  }
  return numbers;
}

bool isChunkUploadInProgress(std::string_view message) {
  return message.find("CHUNK") != std::string_view::npos &&
         message.find("already in progress") != std::string_view::npos;
}

bool isUploadSessionUnknown(std::string_view message) {
  return message.find("Upload session not found") != std::string_view::npos;
}

std::string checksumOfChunkChecksums(const std::vector<std::string>& chunkChecksums) {
  base::Hasher hasher(base::HashAlgorithm::sha512);
  for (const auto& checksum : chunkChecksums) hasher.update(checksum);
  return hasher.finishHex();
}

std::expected<void, std::string> validateFinalChecksum(
    std::string_view header, std::int64_t totalChunks, std::int64_t chunkSize,
    std::int64_t contentSize, const std::vector<std::string>& chunkChecksums,
    std::string_view fullFileChecksum) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= header.size()) {
    auto dash = header.find('-', start);
    if (dash == std::string_view::npos) dash = header.size();
    if (dash > start) pieces.push_back(header.substr(start, dash - start));
    start = dash + 1;
  }
  if (pieces.size() != 4) {
    return std::unexpected("Final checksum for chunked upload should have four components");
  }
  if (parseDecimal(pieces[1]) != totalChunks) {
    return std::unexpected("Chunk count mismatch in final checksum");
  }
  const auto reportedChunkSize = parseDecimal(pieces[2]);
  const bool chunkSizeMatches =
      reportedChunkSize == chunkSize || (totalChunks == 1 && reportedChunkSize == contentSize);
  if (!chunkSizeMatches) return std::unexpected("Chunk size mismatch in final checksum");
  if (pieces[3] != checksumOfChunkChecksums(chunkChecksums) ||
      static_cast<std::int64_t>(chunkChecksums.size()) != totalChunks) {
    return std::unexpected("File checksum mismatch in final checksum");
  }
  if (pieces[0] != fullFileChecksum) {
    return std::unexpected("File checksum mismatch in final checksum");
  }
  return {};
}

}  // namespace ChunkUploadUtility

}  // namespace tarnix::fileprovider
