// Content versions: single uploads and chunked upload sessions.
#include <cctype>
#include <fstream>
#include <system_error>

#include "base/Hash.hpp"
#include "base/Uuid.hpp"
#include "emulator/Cloud.hpp"

namespace tarnix::emulator {

namespace {

constexpr std::int64_t kSessionBusyMs = 10 * 60 * 1000;

std::string joinPath(const std::string& parent, const std::string& name) {
  return parent == "/" ? "/" + name : parent + "/" + name;
}

/// Moves or writes the body to `destination`.
bool stage(UploadBody body, const std::filesystem::path& destination) {
  std::error_code ec;
  if (body.file) {
    std::filesystem::rename(*body.file, destination, ec);
    return !ec;
  }
  std::ofstream out(destination, std::ios::binary | std::ios::trunc);
  if (body.bytes) out.write(body.bytes->data(), static_cast<std::streamsize>(body.bytes->size()));
  return static_cast<bool>(out.flush());
}

void discard(const std::filesystem::path& file) {
  std::error_code ec;
  std::filesystem::remove(file, ec);
}

ApiError internal(std::string what) {
  return ApiError{500, "Internal error: " + what};
}

}  // namespace

std::expected<void, ApiError> Cloud::checkUploadSwitches(const std::string& name,
                                                         std::int64_t size) {
  const auto& switches = uploadSwitches_;
  if (switches.maxFileSize && size > *switches.maxFileSize) {
    return std::unexpected(ApiError{413, "File is too large"});
  }
  if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
    std::string extension = name.substr(dot + 1);
    for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& excluded : switches.excludedExtensions) {
      if (excluded == extension) {
        return std::unexpected(ApiError{400, "Files with this extension are not allowed"});
      }
    }
  }
  if (switches.quotaBytes && store_.usedBytes() + size > *switches.quotaBytes) {
    return std::unexpected(ApiError{507, "Storage limit reached"});
  }
  return {};
}

std::expected<std::int64_t, ApiError> Cloud::parentForNew(const User& user, const std::string& path,
                                                          std::string& name) {
  auto slash = path.rfind('/');
  if (path.empty() || path.front() != '/' || slash == std::string::npos) {
    return std::unexpected(ApiError{400, "Invalid path"});
  }
  name = path.substr(slash + 1);
  auto parent = store_.resolve(slash == 0 ? "/" : path.substr(0, slash));
  if (!parent || !parent->isFolder) return std::unexpected(ApiError{404, "Path not found"});
  if (auto ok = require(user, parent->id, Permission::editor); !ok) {
    return std::unexpected(ok.error());
  }
  return parent->id;
}

std::expected<UploadResult, ApiError> Cloud::upload(const Actor& actor, const std::string& path,
                                                    UploadBody body, const UploadOptions& options) {
  std::string name;
  auto parentId = parentForNew(actor.user, path, name);
  if (!parentId) return std::unexpected(parentId.error());
  if (auto ok = checkName(name, store_.pathOf(*parentId), false, true); !ok) {
    return std::unexpected(ok.error());
  }
  std::string blob = base::makeUuid();
  auto staged = store_.blobPath(blob);
  if (!stage(body, staged)) return std::unexpected(internal("cannot store the upload"));
  auto checksum = base::fileDigestHex(staged, base::HashAlgorithm::sha512);
  if (!checksum) {
    discard(staged);
    return std::unexpected(internal(checksum.error()));
  }
  if (options.sha512 && *options.sha512 != *checksum) {
    discard(staged);
    return std::unexpected(ApiError{400, "Checksum mismatch", "ChecksumMismatch"});
  }
  std::error_code ec;
  auto size = static_cast<std::int64_t>(std::filesystem::file_size(staged, ec));
  if (auto allowed = checkUploadSwitches(name, size); !allowed) {
    discard(staged);
    return std::unexpected(allowed.error());
  }
  auto result = commitContent(actor, *parentId, name, staged, *checksum, size, options);
  if (!result) discard(staged);
  return result;
}

std::expected<UploadResult, ApiError> Cloud::commitContent(const Actor& actor,
                                                           std::int64_t parentId, std::string name,
                                                           const std::filesystem::path& staged,
                                                           const std::string& checksum,
                                                           std::int64_t size,
                                                           const UploadOptions& options) {
  std::optional<std::string> conflictPath;
  auto existing = store_.child(parentId, name);
  if (existing && existing->isFolder) {
    return std::unexpected(ApiError{409, "A folder with the same name already exists"});
  }
  if (existing) {
    if (auto ok = require(actor.user, existing->id, Permission::editor); !ok) {
      return std::unexpected(ok.error());
    }
    if (auto ok = checkUnlocked(actor.user, existing->id, options.lockToken); !ok) {
      return std::unexpected(ok.error());
    }
    bool stale = options.previousEntryId && existing->entryId &&
                 *options.previousEntryId != std::to_string(*existing->entryId);
    if (stale) {
      // Somebody changed the file since the version this upload was based on: keep both.
      name = freeName(parentId, name, "conflict");
      existing.reset();
      conflictPath = joinPath(store_.pathOf(parentId), name);
    }
  }
  Transaction tx(store_.db());
  Node node;
  if (existing) {
    node = *existing;
  } else {
    node.parentId = parentId;
    node.name = name;
    node.isFolder = false;
    node.ownerId = actor.user.id;
    node.createdMs = node.modifiedMs = now();
    node.id = store_.insertNode(node);
  }
  Version v;
  v.nodeId = node.id;
  v.size = size;
  v.checksum = checksum;
  v.blob = staged.filename().string();
  v.uploadedMs = now();
  v.modifiedMs = options.lastModifiedMs.value_or(now());
  v.uploadedBy = actor.user.id;
  v.entryId = store_.addVersion(v);
  store_.touchFolder(parentId, now());
  Event e;
  e.action = existing ? "UPGRADE_TO_LATEST_FILE" : "ADD_FILE";
  e.targetPath = joinPath(store_.pathOf(parentId), name);
  e.targetFolderId = std::to_string(parentId);
  e.groupId = std::to_string(node.id);
  e.entryId = std::to_string(v.entryId);
  e.checksum = checksum;
  e.size = size;
  e.modifiedMs = v.modifiedMs;
  emit(actor, e);
  tx.commit();
  return UploadResult{*store_.node(node.id), v, conflictPath};
}

std::expected<ChunkResult, ApiError> Cloud::uploadChunk(const Actor& actor, const std::string& path,
                                                        UploadBody body,
                                                        const ChunkRequest& chunk) {
  std::string name;
  auto parentId = parentForNew(actor.user, path, name);
  if (!parentId) return std::unexpected(parentId.error());
  if (auto ok = checkName(name, store_.pathOf(*parentId), false, true); !ok) {
    return std::unexpected(ok.error());
  }
  if (chunk.number < 1 || chunk.originalSize < 0) {
    return std::unexpected(ApiError{400, "Invalid chunk number or file size"});
  }
  if (auto allowed = checkUploadSwitches(name, chunk.originalSize); !allowed) {
    return std::unexpected(allowed.error());
  }
  UploadSession session;
  if (!chunk.uploadId) {
    if (chunk.number != 1) return std::unexpected(ApiError{400, "Missing upload id"});
    if (auto other = store_.sessionForPath(path)) {
      if (other->userId != actor.user.id && now() - other->updatedMs < kSessionBusyMs) {
        return std::unexpected(ApiError{400, "CHUNK upload of this file is already in progress"});
      }
      store_.deleteSession(other->uploadId);
    }
    session =
        UploadSession{base::makeUuid(), actor.user.id, path, chunk.originalSize, 0, now(), now()};
  } else {
    auto found = store_.session(*chunk.uploadId);
    if (!found || found->userId != actor.user.id || !equalsIgnoringCase(found->path, path)) {
      return std::unexpected(ApiError{400, "Upload session not found"});
    }
    session = *found;
  }
  auto chunkFile = store_.chunkPath(session.uploadId, chunk.number);
  if (!stage(body, chunkFile)) return std::unexpected(internal("cannot store the chunk"));
  auto checksum = base::fileDigestHex(chunkFile, base::HashAlgorithm::sha512);
  std::error_code ec;
  auto size = static_cast<std::int64_t>(std::filesystem::file_size(chunkFile, ec));
  if (!checksum || (chunk.checksum && *chunk.checksum != *checksum)) {
    discard(chunkFile);
    return std::unexpected(ApiError{400, "Chunk checksum mismatch", "ChecksumMismatch"});
  }
  if (chunk.number == 1) session.chunkSize = size;
  session.updatedMs = now();
  store_.putSession(session);
  store_.putChunk(session.uploadId, {chunk.number, size, *checksum});

  ChunkResult result{session.uploadId, *checksum, std::nullopt, ""};
  auto stored = store_.chunks(session.uploadId);
  std::int64_t received = 0;
  for (const auto& c : stored) received += c.size;
  bool last = chunk.last.value_or(received >= session.totalSize);
  if (!last) return result;

  std::int64_t c = session.chunkSize > 0 ? session.chunkSize : 1;
  std::int64_t total = session.totalSize == 0 ? 1 : (session.totalSize + c - 1) / c;
  std::string missing;
  std::size_t next = 0;
  for (std::int64_t n = 1; n <= total; ++n) {
    while (next < stored.size() && stored[next].number < n) ++next;
    if (next >= stored.size() || stored[next].number != n) {
      missing += (missing.empty() ? "" : ", ") + std::to_string(n);
    }
  }
  if (!missing.empty()) return std::unexpected(ApiError{400, "Chunks missing: " + missing});
  if (received != session.totalSize) {
    return std::unexpected(ApiError{400, "Received size differs from the original file size"});
  }

  std::string blob = base::makeUuid();
  auto assembled = store_.blobPath(blob);
  base::Hasher fileHash(base::HashAlgorithm::sha512);
  std::string joinedChecksums;
  {
    std::ofstream out(assembled, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    for (const auto& part : stored) {
      if (part.number > total) continue;
      joinedChecksums += part.checksum;
      std::ifstream in(store_.chunkPath(session.uploadId, part.number), std::ios::binary);
      while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        out.write(buffer.data(), static_cast<std::streamsize>(got));
        fileHash.update(std::string_view(buffer.data(), got));
      }
    }
    if (!out.flush()) {
      discard(assembled);
      return std::unexpected(internal("cannot assemble the chunks"));
    }
  }
  std::string fileChecksum = fileHash.finishHex();
  result.finalChecksum = fileChecksum + "-" + std::to_string(total) + "-" +
                         std::to_string(session.chunkSize) + "-" + base::sha512Hex(joinedChecksums);
  auto committed =
      commitContent(actor, *parentId, name, assembled, fileChecksum, received, chunk.options);
  if (!committed) {
    discard(assembled);
    return std::unexpected(committed.error());
  }
  store_.deleteSession(session.uploadId);
  result.final = *committed;
  return result;
}

}  // namespace tarnix::emulator
