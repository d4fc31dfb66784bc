#pragma once
// A sink writing lines to a log file that rolls over when it grows past a size limit.
//
// Every sink for the same path in the process shares one open file (SharedLogFile). Lines are
// formatted on the caller's thread; the file is written, rotated, zipped and pruned on the
// file's own serial queue ("com.tarnix.SharedFileLogSink"), so a log call never waits for the
// disk. Failures never reach the caller: they are reported through `onLogSinkError`.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/LogFileSystem.hpp"
#include "base/LogFormat.hpp"
#include "base/Logger.hpp"

namespace tarnix::base {

class SharedLogFile;

/// Receives a report text ("[LogFile] ...") and its metadata.
using LogSinkErrorHandler =
    std::function<void(const std::string& message, const std::optional<LoggerMetadata>& metadata)>;

struct LogFileInitParams {
  std::filesystem::path url;
  LogFormat format;
  bool truncate = false;
  bool rollingEnabled = true;
  bool compressionEnabled = true;
  int maxArchivedFilesCount = 10;
  std::uint64_t sizeLimit = 10 * 1024 * 1024;
  /// Called with every report of this file, besides FileLogSink::onLogSinkError.
  LogSinkErrorHandler onError;
  /// Files and clock; the process's own unless replaced.
  std::shared_ptr<LogFileSystem> fileSystem = LogFileSystem::standard();
};

class FileLogSink final : public LogSink {
 public:
  /// A sink over `logFile`; without a file every entry is dropped.
  explicit FileLogSink(std::shared_ptr<SharedLogFile> logFile,
                       LoggerLevel level = LoggerLevel::info);
  /// A sink over the process's shared file for `params.url`, opened when no sink has it open.
  /// When opening fails the sink has no file.
  static std::shared_ptr<FileLogSink> make(const LogFileInitParams& params);

  const std::shared_ptr<SharedLogFile>& logFile() const { return logFile_; }
  void log(const LogEntry& entry) override;
  /// Waits until every line written before the call is on disk (not callable on the file's
  /// queue).
  void flush();

  /// Flushes every log file open in the process. A program calls it before it exits: lines
  /// still queued when the process ends are lost.
  static void flushAll();

  /// The process-wide receiver of file reports; none at first (reports are dropped). Set it
  /// during start-up.
  static LogSinkErrorHandler onLogSinkError();
  static void setOnLogSinkError(LogSinkErrorHandler handler);
  /// Hands a report to `onLogSinkError` when one is set.
  static void report(const std::string& message, const std::optional<LoggerMetadata>& metadata);

 private:
  std::shared_ptr<SharedLogFile> logFile_;
};

}  // namespace tarnix::base
