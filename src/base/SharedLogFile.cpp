#include "base/detail/SharedLogFile.hpp"

#include <algorithm>
#include <cerrno>

#include "base/ErrorDescription.hpp"

namespace tarnix::base {
namespace {

constexpr const char* kFileQueueLabel = "com.tarnix.SharedFileLogSink";

LoggerMetadataValue errorValue(const std::error_code& error) {
  return loggerMetadataValue(ErrorDescription::fromErrorCode(error));
}

LoggerMetadataValue errorValue(const ZipArchiverError& error) {
  ErrorDescription description;
  description.domain = "ZipArchiverError";
  description.code = error.status;
  description.userInfo.set(ErrorDescription::kLocalizedDescriptionKey,
                           LoggerMetadataValue(error.output));
  return loggerMetadataValue(description);
}

LoggerMetadata errorAndPath(LoggerMetadataValue error, const std::filesystem::path& path) {
  LoggerMetadata metadata;
  metadata.set("error", std::move(error));
  metadata.set("path", LoggerMetadataValue(path.string()));
  return metadata;
}

bool isOutOfDiskSpace(const std::error_code& error) {
  return error == std::errc::no_space_on_device;
}

std::filesystem::path normalizedLocation(const std::filesystem::path& url) {
  auto path = std::filesystem::absolute(url).lexically_normal();
  if (!path.has_filename()) path = path.parent_path();
  return path;
}

}  // namespace

std::string LogFileOpenError::description() const {
  switch (kind) {
    case LogFileOpenErrorKind::creatingDirectoryFailed:
      return "Creating directory failed at " + url.string();
    case LogFileOpenErrorKind::creatingFileFailed:
      return "Creating file failed at " + url.string();
    case LogFileOpenErrorKind::writingFailed:
      return "Writing failed at " + url.string();
  }
  return url.string();
}

SharedLogFile::SharedLogFile(const LogFileInitParams& params)
    : fileSystem_(params.fileSystem ? params.fileSystem : LogFileSystem::standard()),
      queue_(kFileQueueLabel),
      location_(normalizedLocation(params.url)),
      format_(params.format),
      onError_(params.onError),
      maxFileSize_(params.sizeLimit),
      rollingEnabled_(params.rollingEnabled),
      maxArchivedFilesCount_(std::max(0, params.maxArchivedFilesCount)),
      compressionEnabled_(params.compressionEnabled) {}

std::expected<std::shared_ptr<SharedLogFile>, LogFileOpenError> SharedLogFile::open(
    const LogFileInitParams& params) {
  std::shared_ptr<SharedLogFile> file(new SharedLogFile(params));
  if (auto opened = file->openFile(params.truncate); !opened) {
    return std::unexpected(opened.error());
  }
  return file;
}

SharedLogFile::~SharedLogFile() {
  // No block of this file is queued any more: each holds a strong reference.
  closeHandle();
  LogFileRegistry::shared().forget(location_);
}

void SharedLogFile::report(const std::string& message,
                           const std::optional<LoggerMetadata>& metadata) const {
  if (onError_) onError_(message, metadata);
  FileLogSink::report(message, metadata);
}

std::expected<void, LogFileOpenError> SharedLogFile::openFile(bool truncate) {
  auto folder = location_.parent_path();
  if (auto error = fileSystem_->createDirectories(folder)) {
    report("[LogFile] Creating directory failed", errorAndPath(errorValue(error), folder));
    return std::unexpected(
        LogFileOpenError{LogFileOpenErrorKind::creatingDirectoryFailed, location_});
  }
  bool exists = fileSystem_->fileExists(location_);
  if (exists && truncate) {
    if (auto error = fileSystem_->removeFile(location_)) {
      report("[LogFile] Truncating file failed", errorAndPath(errorValue(error), location_));
    } else {
      exists = false;
    }
  }
  if (!exists) {
    auto error = fileSystem_->createEmptyFile(location_);
    // Another process may have made it in the meantime; that file will do.
    if (error && error != std::errc::file_exists) {
      report("[LogFile] Creating log file failed.",
             LoggerMetadata{{"location", LoggerMetadataValue(location_.string())}});
      return std::unexpected(LogFileOpenError{LogFileOpenErrorKind::creatingFileFailed, location_});
    }
  }
  if (!fileHandle_) {
    auto handle = fileSystem_->openForAppending(location_);
    if (!handle) {
      report("[LogFile] Creating file handle failed.",
             errorAndPath(errorValue(handle.error()), location_));
      return std::unexpected(LogFileOpenError{LogFileOpenErrorKind::writingFailed, location_});
    }
    fileHandle_ = std::move(*handle);
    currentFileSize_ = fileHandle_->endOffset();
  }
  return {};
}

void SharedLogFile::write(const LogEntry& entry) {
  if (stoppedForGood_.load(std::memory_order_relaxed)) return;
  // Formatted outside the lock, into a buffer each thread keeps.
  thread_local std::string line;
  line.clear();
  format_.appendLine(line, entry);
  line += '\n';
  bool schedule = false;
  {
    std::lock_guard lock(pendingMutex_);
    if (pending_.empty() || pending_.back().bytes.size() + line.size() > kChunkSize) {
      pending_.emplace_back().bytes.reserve(std::max(kChunkSize, line.size()));
    }
    auto& chunk = pending_.back();
    chunk.bytes += line;
    chunk.lineEnds.push_back(static_cast<std::uint32_t>(chunk.bytes.size()));
    schedule = !drainScheduled_;
    drainScheduled_ = true;
  }
  // One queued block takes every line that arrives before it runs.
  if (schedule) queue_.async([self = shared_from_this()] { self->drainPending(); });
}

void SharedLogFile::flush() {
  queue_.sync([this] { drainPending(); });
}

void SharedLogFile::drainPending() {
  std::vector<Chunk> chunks;
  {
    std::lock_guard lock(pendingMutex_);
    chunks.swap(pending_);
    drainScheduled_ = false;
  }
  for (const auto& chunk : chunks) writeChunk(chunk);
}

void SharedLogFile::writeChunk(const Chunk& chunk) {
  // The lines of a chunk are written together, but a line that takes the file past its limit
  // ends a write so that rotation happens right after it, as if each line were written alone.
  std::string_view lines = chunk.bytes;
  std::size_t start = 0;
  if (rollingEnabled_) {
    for (std::size_t end : chunk.lineEnds) {
      if (currentFileSize_ + (end - start) > maxFileSize_) {
        append(lines.substr(start, end - start));
        start = end;
      }
    }
  }
  if (start < lines.size()) append(lines.substr(start));
}

void SharedLogFile::append(std::string_view bytes) {
  if (!fileHandle_) return;
  std::error_code error;
  currentFileSize_ += fileHandle_->write(bytes, error);
  if (error) {
    if (isOutOfDiskSpace(error)) {
      // The disk is full: stop writing for good, and say nothing (saying it would need disk).
      closeHandle();
      stoppedForGood_ = true;
      return;
    }
    report("[LogFile] Unable to write to log file", errorAndPath(errorValue(error), location_));
    return;
  }
  if (rollingEnabled_ && currentFileSize_ > maxFileSize_) rotate();
}

void SharedLogFile::closeHandle() {
  if (!fileHandle_) return;
  fileHandle_->synchronize();
  fileHandle_->close();
  fileHandle_.reset();
}

void SharedLogFile::rotate() {
  static const DateFormatter stampFormatter("yyyy-MM-dd'T'HHmmss");
  closeHandle();
  auto folder = location_.parent_path();
  auto stem = location_.stem().string();
  auto stamp = stampFormatter.string(fileSystem_->now());
  // Two rotations within one second would share a name; the later one gets a counter so that
  // it never replaces the earlier archive.
  auto archived = folder / (stem + "." + stamp + ".log");
  for (int n = 1;
       fileSystem_->fileExists(archived) || fileSystem_->fileExists(archived.string() + ".zip");
       ++n) {
    archived = folder / (stem + "." + stamp + "-" + std::to_string(n) + ".log");
  }
  if (auto error = fileSystem_->moveItem(location_, archived)) {
    report("[LogFile] Moving error", errorAndPath(errorValue(error), location_));
  } else if (compressionEnabled_) {
    archive(archived);
  }
  removeOldArchives();
  (void)openFile(false);
}

void SharedLogFile::archive(const std::filesystem::path& archived) {
  auto name = archived.filename().string();
  auto zipped = fileSystem_->zip(archived.parent_path(), name, name + ".zip");
  if (!zipped) {
    report("[LogFile] Moving error", errorAndPath(errorValue(zipped.error()), archived));
    return;
  }
  if (auto error = fileSystem_->removeFile(archived)) {
    report("[LogFile] Moving error", errorAndPath(errorValue(error), archived));
  }
}

void SharedLogFile::removeOldArchives() {
  auto folder = location_.parent_path();
  auto listed = fileSystem_->contentsOfDirectory(folder);
  if (!listed) {
    report("[LogFile] Rotation error", errorAndPath(errorValue(listed.error()), folder));
    return;
  }
  // Archives are "<stem>.<stamp>.log[.zip]"; the live file and other logs that merely share the
  // first letters of the name are not archives of this file.
  auto prefix = location_.stem().string() + ".";
  auto liveName = location_.filename().string();
  std::vector<LogFileSystem::DirectoryEntry> archives;
  for (auto& entry : *listed) {
    if (entry.name.starts_with(prefix) && entry.name != liveName) archives.push_back(entry);
  }
  auto limit = static_cast<std::size_t>(maxArchivedFilesCount_);
  if (archives.size() <= limit) return;
  std::sort(archives.begin(), archives.end(), [](const auto& a, const auto& b) {
    if (a.modificationDate != b.modificationDate) return a.modificationDate < b.modificationDate;
    return a.name < b.name;
  });
  for (std::size_t i = 0; i < archives.size() - limit; ++i) {
    auto path = folder / archives[i].name;
    if (auto error = fileSystem_->removeFile(path)) {
      report("[LogFile] Rotation error", errorAndPath(errorValue(error), path));
      return;
    }
  }
}

LogFileRegistry& LogFileRegistry::shared() {
  // Never destroyed: files may be released while static objects are torn down.
  static auto* registry = new LogFileRegistry();
  return *registry;
}

std::expected<std::shared_ptr<SharedLogFile>, LogFileOpenError> LogFileRegistry::file(
    const LogFileInitParams& params) {
  auto path = normalizedLocation(params.url);
  return serialQueue_.sync(
      [&]() -> std::expected<std::shared_ptr<SharedLogFile>, LogFileOpenError> {
        if (auto it = files_.find(path); it != files_.end()) {
          if (auto file = it->second.lock()) return file;
        }
        auto opened = SharedLogFile::open(params);
        if (opened) files_[path] = *opened;
        return opened;
      });
}

std::vector<std::shared_ptr<SharedLogFile>> LogFileRegistry::openFiles() {
  return serialQueue_.sync([this] {
    std::vector<std::shared_ptr<SharedLogFile>> files;
    for (const auto& [path, weak] : files_) {
      if (auto file = weak.lock()) files.push_back(std::move(file));
    }
    return files;
  });
}

void LogFileRegistry::forget(const std::filesystem::path& path) {
  serialQueue_.async([this, path] {
    if (auto it = files_.find(path); it != files_.end() && it->second.expired()) files_.erase(it);
  });
}

}  // namespace tarnix::base
