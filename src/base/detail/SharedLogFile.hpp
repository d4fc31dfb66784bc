#pragma once
// One open log file shared by every FileLogSink for its path, and the registry that shares it.
//
// Threads: `write` and `flush` may be called from any thread. Everything that touches the file
// (the handle, its size, rotation) runs on `queue_`. The pending lines are guarded by
// `pendingMutex_`, which is never held while doing file work.

#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/FileLogSink.hpp"

namespace tarnix::base {

enum class LogFileOpenErrorKind { creatingDirectoryFailed, creatingFileFailed, writingFailed };

struct LogFileOpenError {
  LogFileOpenErrorKind kind;
  std::filesystem::path url;
  /// "Creating directory failed at ", "Creating file failed at " or "Writing failed at " + path.
  std::string description() const;
};

class SharedLogFile : public std::enable_shared_from_this<SharedLogFile> {
 public:
  /// Opens (creating folders and the file as needed). Failures are reported and returned.
  static std::expected<std::shared_ptr<SharedLogFile>, LogFileOpenError> open(
      const LogFileInitParams& params);
  ~SharedLogFile();
  SharedLogFile(const SharedLogFile&) = delete;
  SharedLogFile& operator=(const SharedLogFile&) = delete;

  const std::filesystem::path& location() const { return location_; }
  /// Formats the line here and appends it on the file's queue.
  void write(const LogEntry& entry);
  /// Waits until the lines written before the call have been handled.
  void flush();

 private:
  // Formatted lines waiting for the queue, in chunks of about kChunkSize bytes so that a
  // growing backlog never copies what it already holds.
  struct Chunk {
    std::string bytes;                    // lines, each ending in "\n"
    std::vector<std::uint32_t> lineEnds;  // offset in `bytes` after each line
  };
  static constexpr std::size_t kChunkSize = 64 * 1024;

  explicit SharedLogFile(const LogFileInitParams& params);
  void report(const std::string& message, const std::optional<LoggerMetadata>& metadata) const;
  std::expected<void, LogFileOpenError> openFile(bool truncate);
  void drainPending();
  void append(std::string_view bytes);
  void writeChunk(const Chunk& chunk);
  void closeHandle();
  void rotate();
  void archive(const std::filesystem::path& archived);
  void removeOldArchives();

  std::shared_ptr<LogFileSystem> fileSystem_;
  DispatchQueue queue_;
  std::filesystem::path location_;
  LogFormat format_;
  LogSinkErrorHandler onError_;
  std::uint64_t maxFileSize_;
  bool rollingEnabled_;
  int maxArchivedFilesCount_;
  bool compressionEnabled_;

  // On queue_ only.
  std::unique_ptr<LogFileHandle> fileHandle_;
  std::uint64_t currentFileSize_ = 0;

  // Set on the queue when the disk filled up; read by writers to skip formatting.
  std::atomic<bool> stoppedForGood_{false};

  std::mutex pendingMutex_;
  std::vector<Chunk> pending_;   // guarded by pendingMutex_
  bool drainScheduled_ = false;  // guarded by pendingMutex_
};

/// One per process: the open log files by path (weak, so a file closes with its last sink).
class LogFileRegistry {
 public:
  static LogFileRegistry& shared();
  /// The open file for `params.url`, or a newly opened one. Runs on the registry's queue.
  std::expected<std::shared_ptr<SharedLogFile>, LogFileOpenError> file(
      const LogFileInitParams& params);
  /// Every file open now.
  std::vector<std::shared_ptr<SharedLogFile>> openFiles();
  /// Drops the entry of `path` when its file is gone (called when a file is released).
  void forget(const std::filesystem::path& path);

 private:
  LogFileRegistry() : serialQueue_("com.tarnix.LogFileRegistry") {}
  DispatchQueue serialQueue_;
  std::map<std::filesystem::path, std::weak_ptr<SharedLogFile>> files_;  // on serialQueue_
};

}  // namespace tarnix::base
