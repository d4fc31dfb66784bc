// Downloads (whole files and ranges), thumbnails, single and chunked uploads.
#include <cctype>
#include <charconv>
#include <system_error>

#include "base/Date.hpp"
#include "emulator/Formats.hpp"
#include "emulator/Router.hpp"

namespace tarnix::emulator {

namespace {

Response fail(const ApiError& error) {
  return errorResponse(error);
}

/// A 1x1 transparent PNG: any small image serves as a thumbnail.
constexpr unsigned char kThumbnail[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0A, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9C, 0x63, 0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x01, 0x0D, 0x0A, 0x2D, 0xB4, 0x00,
    0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

/// Sources larger than this get no thumbnail.
constexpr std::int64_t kThumbnailSourceLimit = 4 * 1024 * 1024;

/// Whether thumbnails are made of files named `name`: images and PDF documents.
bool rendersThumbnail(std::string_view name) {
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  std::string extension(name.substr(dot + 1));
  for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* known :
       {"jpg", "jpeg", "png", "gif", "bmp", "tif", "tiff", "heic", "webp", "pdf"}) {
    if (extension == known) return true;
  }
  return false;
}

std::optional<std::uint64_t> parseNumber(std::string_view text) {
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

struct ByteRange {
  std::uint64_t first = 0, last = 0;
};

/// One "bytes=" range against `size`: none to send the whole file (absent or unusable header,
/// which a server may ignore), or an unsatisfiable marker.
std::optional<ByteRange> parseRange(const std::string& header, std::uint64_t size,
                                    bool& unsatisfiable) {
  std::string_view v = header;
  if (!consumePrefix(v, "bytes=") || v.find(',') != std::string_view::npos) return std::nullopt;
  auto dash = v.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  auto first = v.substr(0, dash), last = v.substr(dash + 1);
  if (first.empty()) {
    auto suffix = parseNumber(last);
    if (!suffix) return std::nullopt;
    if (*suffix == 0 || size == 0) {
      unsatisfiable = true;
      return std::nullopt;
    }
    return ByteRange{size - std::min(*suffix, size), size - 1};
  }
  auto from = parseNumber(first);
  auto to = last.empty() ? std::optional<std::uint64_t>(UINT64_MAX) : parseNumber(last);
  if (!from || !to || *to < *from) return std::nullopt;
  if (*from >= size) {
    unsatisfiable = true;
    return std::nullopt;
  }
  return ByteRange{*from, std::min(*to, size - 1)};
}

Response download(RouteContext& c, const std::expected<Node, ApiError>& node) {
  if (!node) return fail(node.error());
  if (node->isFolder) return fail(ApiError{404, "File not found"});
  if (auto ok = c.cloud.require(c.user, node->id, Permission::viewer); !ok) return fail(ok.error());
  Store& store = c.cloud.store();
  std::optional<Version> version;
  if (auto entry = c.request.queryValue("entry_id")) {
    auto id = parseId(*entry);
    version = id ? store.version(*id) : std::nullopt;
    if (!version || version->nodeId != node->id) return fail(ApiError{404, "Version not found"});
  } else if (node->entryId) {
    version = store.version(*node->entryId);
  }
  if (!version) return fail(ApiError{404, "File has no content"});
  auto file = store.blobPath(version->blob);
  auto size = static_cast<std::uint64_t>(version->size);
  Response r;
  r.set("ETag", std::to_string(version->entryId));
  r.set("Accept-Ranges", "bytes");
  r.set("Last-Modified",
        base::formatHTTPDate(base::dateFromMillisecondsSince1970(version->modifiedMs)));
  bool unsatisfiable = false;
  std::optional<ByteRange> range;
  if (auto header = c.request.header("Range")) range = parseRange(*header, size, unsatisfiable);
  if (unsatisfiable) {
    r.status = 416;
    r.set("Content-Range", "bytes */" + std::to_string(size));
    return r;
  }
  r.set("Content-Type", "application/octet-stream");
  if (range) {
    r.status = 206;
    r.set("Content-Range", "bytes " + std::to_string(range->first) + "-" +
                               std::to_string(range->last) + "/" + std::to_string(size));
    r.file = FileSlice{file, range->first, range->last - range->first + 1};
  } else {
    r.file = FileSlice{file, 0, size};
  }
  return r;
}

Response thumbnail(RouteContext& c, std::int64_t groupId, const std::optional<std::string>& entry) {
  auto node = c.cloud.nodeById(c.user, groupId, false);
  if (!node) return fail(node.error());
  if (auto ok = c.cloud.require(c.user, node->id, Permission::viewer); !ok) return fail(ok.error());
  if (!node->entryId || (entry && *entry != std::to_string(*node->entryId))) {
    return fail(ApiError{404, "Version not found"});
  }
  for (const char* dimension : {"width", "height", "w", "h"}) {
    auto value = c.request.queryValue(dimension);
    if (value && (!parseNumber(*value) || *parseNumber(*value) > 4096)) {
      return fail(ApiError{400, "Invalid thumbnail size"});
    }
  }
  if (!rendersThumbnail(node->name)) {
    return fail(ApiError{415, "Thumbnails are not available for this file type"});
  }
  auto version = c.cloud.store().version(*node->entryId);
  if (version && version->size > kThumbnailSourceLimit) {
    return fail(ApiError{413, "Source file is too big to generate a thumbnail"});
  }
  Response r;
  r.body.assign(reinterpret_cast<const char*>(kThumbnail), sizeof(kThumbnail));
  r.set("Content-Type", "image/png");
  r.set("ETag", std::to_string(*node->entryId));
  return r;
}

UploadBody bodyOf(const Request& r) {
  return r.bodyFile ? UploadBody{nullptr, &*r.bodyFile} : UploadBody{&r.body, nullptr};
}

UploadOptions uploadOptions(const Request& r) {
  UploadOptions o;
  o.sha512 = r.header("X-Sha512-Checksum");
  if (auto date = r.header("Last-Modified")) {
    if (auto parsed = base::parseHTTPDate(*date))
      o.lastModifiedMs = base::millisecondsSince1970(*parsed);
  }
  o.previousEntryId = r.header("X-Tarnix-Previous-EntryId");
  o.lockToken = r.header("X-Tarnix-Lock-Token");
  return o;
}

Response uploaded(RouteContext& c, const UploadResult& result) {
  Response r = Response::json(200, uploadJson(c.cloud, result));
  if (result.conflictPath) r.set("X-Conflict-Resolution-Path", *result.conflictPath);
  return r;
}

Response chunk(RouteContext& c, const std::string& path) {
  const Request& r = c.request;
  ChunkRequest chunk;
  chunk.uploadId = r.header("X-Tarnix-Upload-Id");
  auto number = parseId(r.header("X-Tarnix-Chunk-Num").value_or(""));
  auto size = parseId(r.header("X-Tarnix-Original-File-Plain-Size").value_or(""));
  if (!number || !size) {
    return fail(
        ApiError{400, "X-Tarnix-Chunk-Num and X-Tarnix-Original-File-Plain-Size are required"});
  }
  chunk.number = *number;
  chunk.originalSize = *size;
  if (auto last = r.header("X-Tarnix-Last-Chunk")) chunk.last = *last == "true";
  chunk.checksum = r.header("X-Tarnix-Chunk-Sha512-Checksum");
  chunk.options = uploadOptions(r);
  auto result = c.cloud.uploadChunk(c.actor, path, bodyOf(r), chunk);
  if (!result) return fail(result.error());
  Response response = result->final ? uploaded(c, *result->final)
                                    : Response::json(200, {{"upload_id", result->uploadId}});
  response.set("X-Tarnix-Upload-Id", result->uploadId);
  response.set("X-Tarnix-Chunk-Sha512-Checksum", result->checksum);
  if (result->final) response.set("X-Sha512-Checksum", result->finalChecksum);
  return response;
}

}  // namespace

std::optional<Response> transferRoutes(RouteContext& c) {
  const Request& r = c.request;
  std::string_view path = r.path;
  if (r.method == "GET" || r.method == "HEAD") {
    if (consumePrefix(path, "/api/v1/fs-content-download/thumbnail/ids/file/")) {
      auto id = parseId(path);
      if (!id) return fail(ApiError{404, "File not found"});
      return thumbnail(c, *id, r.queryValue("entryId"));
    }
    if (consumePrefix(path, "/api/v1/fs-content-download/ids/file/")) {
      auto id = parseId(path);
      if (!id) return fail(ApiError{404, "File not found"});
      return download(c, c.cloud.nodeById(c.user, *id, false));
    }
    if (consumePrefix(path, "/api/v1/fs-content/")) {
      return download(c, c.cloud.nodeByPath(c.user, "/" + std::string(path)));
    }
    if (path == "/opendocument.do") {
      auto entry = parseId(r.queryValue("entryId").value_or(""));
      auto version = entry ? c.cloud.store().version(*entry) : std::nullopt;
      if (!version) return fail(ApiError{404, "Version not found"});
      return thumbnail(c, version->nodeId, std::nullopt);
    }
  }
  if (r.method == "POST") {
    if (consumePrefix(path, "/api/v1/fs-content-chunked/"))
      return chunk(c, "/" + std::string(path));
    if (consumePrefix(path, "/api/v1/fs-content/")) {
      auto result = c.cloud.upload(c.actor, "/" + std::string(path), bodyOf(r), uploadOptions(r));
      return result ? uploaded(c, *result) : fail(result.error());
    }
  }
  return std::nullopt;
}

}  // namespace tarnix::emulator
