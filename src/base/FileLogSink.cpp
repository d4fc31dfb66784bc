#include "base/FileLogSink.hpp"

#include <mutex>

#include "base/StderrOutputStream.hpp"
#include "base/detail/SharedLogFile.hpp"

namespace tarnix::base {
namespace {
std::mutex gErrorHandlerMutex;
LogSinkErrorHandler& errorHandler() {
  static LogSinkErrorHandler handler;
  return handler;
}
}  // namespace

FileLogSink::FileLogSink(std::shared_ptr<SharedLogFile> logFile, LoggerLevel level)
    : LogSink(level), logFile_(std::move(logFile)) {}

std::shared_ptr<FileLogSink> FileLogSink::make(const LogFileInitParams& params) {
  auto file = LogFileRegistry::shared().file(params);
  if (!file) {
    eprint("Unable to open log file at " + params.url.string());
    return std::make_shared<FileLogSink>(nullptr);
  }
  return std::make_shared<FileLogSink>(std::move(*file));
}

void FileLogSink::log(const LogEntry& entry) {
  if (logFile_) logFile_->write(entry);
}

void FileLogSink::flush() {
  if (logFile_) logFile_->flush();
}

void FileLogSink::flushAll() {
  for (const auto& file : LogFileRegistry::shared().openFiles()) file->flush();
}

LogSinkErrorHandler FileLogSink::onLogSinkError() {
  std::lock_guard lock(gErrorHandlerMutex);
  return errorHandler();
}

void FileLogSink::setOnLogSinkError(LogSinkErrorHandler handler) {
  std::lock_guard lock(gErrorHandlerMutex);
  errorHandler() = std::move(handler);
}

void FileLogSink::report(const std::string& message,
                         const std::optional<LoggerMetadata>& metadata) {
  auto handler = onLogSinkError();
  if (handler) handler(message, metadata);
}

}  // namespace tarnix::base
