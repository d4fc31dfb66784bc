#include <gtest/gtest.h>
#include <zip.h>

#include <atomic>
#include <cerrno>
#include <future>

#include "base/FileLogSink.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::base;
using tarnix::testing::readFile;
using tarnix::testing::TempDir;
using tarnix::testing::writeFile;
namespace fs = std::filesystem;

namespace {

// The real file system with a fixed clock and failures switched on by the test.
class ScriptedFileSystem final : public StandardLogFileSystem {
 public:
  Date clock = dateFromMillisecondsSince1970(1709296496789);  // 18:04:56 at +05:30
  std::error_code createDirectoriesError, createFileError, openError, moveError;
  /// The error of the n-th write call (0-based), none for success.
  std::function<std::error_code(int call)> writeError = [](int) { return std::error_code(); };
  std::atomic<int> writeCalls{0};
  /// When set, every write waits for it first.
  std::shared_future<void> writeGate;

  std::error_code createDirectories(const fs::path& folder) override {
    return createDirectoriesError ? createDirectoriesError
                                  : StandardLogFileSystem::createDirectories(folder);
  }
  std::error_code createEmptyFile(const fs::path& file) override {
    return createFileError ? createFileError : StandardLogFileSystem::createEmptyFile(file);
  }
  std::error_code moveItem(const fs::path& from, const fs::path& to) override {
    return moveError ? moveError : StandardLogFileSystem::moveItem(from, to);
  }
  std::expected<std::unique_ptr<LogFileHandle>, std::error_code> openForAppending(
      const fs::path& file) override {
    if (openError) return std::unexpected(openError);
    auto handle = StandardLogFileSystem::openForAppending(file);
    if (!handle) return handle;
    return std::make_unique<Handle>(std::move(*handle), *this);
  }
  Date now() override { return clock; }

 private:
  struct Handle final : LogFileHandle {
    Handle(std::unique_ptr<LogFileHandle> real, ScriptedFileSystem& owner)
        : real(std::move(real)), owner(owner) {}
    std::size_t write(std::string_view bytes, std::error_code& error) override {
      if (owner.writeGate.valid()) owner.writeGate.wait();
      if (auto injected = owner.writeError(owner.writeCalls++)) {
        error = injected;
        return 0;
      }
      return real->write(bytes, error);
    }
    std::uint64_t endOffset() override { return real->endOffset(); }
    void synchronize() override { real->synchronize(); }
    void close() override { real->close(); }
    std::unique_ptr<LogFileHandle> real;
    ScriptedFileSystem& owner;
  };
};

LogFormat messageOnly() {
  LogFormat format;
  format.includeTimestamp = false;
  format.includeLevelEmoji = false;
  format.includeLevelName = false;
  return format;
}

LogEntry entry(std::string message) {
  LogEntry e;
  e.message = std::move(message);
  e.timestamp = dateFromMillisecondsSince1970(1709296496789);
  return e;
}

std::vector<std::string> fileNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FileLogSink::setOnLogSinkError(
        [this](const std::string& message, const std::optional<LoggerMetadata>& metadata) {
          std::lock_guard lock(mutex);
          reports.push_back(message + (metadata ? " " + metadata->description() : ""));
        });
  }
  void TearDown() override { FileLogSink::setOnLogSinkError(nullptr); }

  LogFileInitParams params(std::uint64_t sizeLimit = 10485760) {
    LogFileInitParams p;
    p.url = dir / "Logs" / "FileProvider.log";
    p.format = messageOnly();
    p.sizeLimit = sizeLimit;
    p.fileSystem = fileSystem;
    return p;
  }
  std::vector<std::string> takeReports() {
    std::lock_guard lock(mutex);
    return std::exchange(reports, {});
  }

  TempDir dir;
  std::shared_ptr<ScriptedFileSystem> fileSystem = std::make_shared<ScriptedFileSystem>();
  std::mutex mutex;
  std::vector<std::string> reports;
};

std::string zippedEntry(const fs::path& archive, std::string& name) {
  int error = 0;
  zip_t* z = zip_open(archive.c_str(), ZIP_RDONLY, &error);
  if (!z || zip_get_num_entries(z, 0) != 1) return "<bad archive>";
  name = zip_get_name(z, 0, 0);
  zip_stat_t st;
  zip_stat_index(z, 0, 0, &st);
  std::string data(st.size, '\0');
  zip_file_t* f = zip_fopen_index(z, 0, 0);
  zip_fread(f, data.data(), st.size);
  zip_fclose(f);
  zip_close(z);
  return data;
}

}  // namespace

TEST_F(LogFileTest, WritesFormattedLinesInOrder) {
  auto p = params();
  p.format = LogFormat();
  auto sink = FileLogSink::make(p);
  Logger logger("Sync", [&](const std::string&) { return sink; });
  auto e = entry("first");
  e.label = "Sync";
  e.metadata = LoggerMetadata{{"itemID", "7"}};
  sink->log(e);
  for (int i = 0; i < 100; ++i) logger.info("line " + std::to_string(i));
  sink->flush();
  auto text = readFile(p.url);
  EXPECT_TRUE(text.starts_with(p.format.line(e) + "\n")) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 102);
  auto last = text.rfind("[Sync] line 99\n");
  EXPECT_NE(last, std::string::npos);
  EXPECT_EQ(last + std::string("[Sync] line 99\n").size(), text.size());
  EXPECT_TRUE(takeReports().empty());
}

TEST_F(LogFileTest, SinksForOnePathShareOneFileUntilTheLastGoes) {
  auto a = FileLogSink::make(params());
  auto p = params();
  p.url = dir / "Logs" / "sub" / ".." / "FileProvider.log";
  auto b = FileLogSink::make(p);
  ASSERT_TRUE(a->logFile());
  EXPECT_EQ(a->logFile(), b->logFile());
  a->log(entry("from a"));
  b->log(entry("from b"));
  b->flush();
  EXPECT_EQ(readFile(params().url), "from a\nfrom b\n");

  std::weak_ptr<SharedLogFile> first = a->logFile();
  a.reset();
  b.reset();
  EXPECT_TRUE(first.expired());
  auto c = FileLogSink::make(params());
  c->log(entry("from c"));
  c->flush();
  EXPECT_EQ(readFile(params().url), "from a\nfrom b\nfrom c\n");
}

TEST_F(LogFileTest, TruncateStartsAnEmptyFile) {
  writeFile(params().url, "old\n");
  auto p = params();
  p.truncate = false;
  FileLogSink::make(p)->flush();
  EXPECT_EQ(readFile(p.url), "old\n");
  p.truncate = true;
  auto sink = FileLogSink::make(p);
  sink->log(entry("new"));
  sink->flush();
  EXPECT_EQ(readFile(p.url), "new\n");
}

TEST_F(LogFileTest, RotatesOnlyWhenTheFileGrowsPastTheLimit) {
  constexpr std::uint64_t kLimit = 10485760;
  struct Case {
    std::uint64_t existing;
    std::string message;  // written with a line end
    bool rotates;
  } cases[] = {
      {kLimit - 10, "123456789", false},  // exactly at the limit
      {kLimit - 10, "1234567890", true},  // one byte over
      {0, "short", false},
  };
  for (const auto& c : cases) {
    TempDir folder;
    auto p = params(kLimit);
    p.url = folder / "FileProvider.log";
    writeFile(p.url, "");
    fs::resize_file(p.url, c.existing);
    auto sink = FileLogSink::make(p);
    sink->log(entry(c.message));
    sink->flush();
    auto names = fileNames(folder.path());
    if (c.rotates) {
      EXPECT_EQ(names, (std::vector<std::string>{"FileProvider.2024-03-01T180456.log.zip",
                                                 "FileProvider.log"}));
      EXPECT_EQ(fs::file_size(p.url), 0u);
    } else {
      EXPECT_EQ(names, (std::vector<std::string>{"FileProvider.log"}));
      EXPECT_EQ(fs::file_size(p.url), c.existing + c.message.size() + 1);
    }
  }
  EXPECT_TRUE(takeReports().empty());
}

TEST_F(LogFileTest, ArchiveIsZippedUnderTheArchiveNameAndLaterRotationsKeepEarlierOnes) {
  auto sink = FileLogSink::make(params(10));
  sink->log(entry("first line"));  // 11 bytes: rotates
  sink->log(entry("second line"));
  sink->log(entry("after"));
  sink->flush();
  auto folder = dir / "Logs";
  EXPECT_EQ(fileNames(folder), (std::vector<std::string>{"FileProvider.2024-03-01T180456-1.log.zip",
                                                         "FileProvider.2024-03-01T180456.log.zip",
                                                         "FileProvider.log"}));
  std::string name;
  EXPECT_EQ(zippedEntry(folder / "FileProvider.2024-03-01T180456.log.zip", name), "first line\n");
  EXPECT_EQ(name, "FileProvider.2024-03-01T180456.log");
  EXPECT_EQ(zippedEntry(folder / "FileProvider.2024-03-01T180456-1.log.zip", name),
            "second line\n");
  EXPECT_EQ(readFile(folder / "FileProvider.log"), "after\n");
}

TEST_F(LogFileTest, WithoutCompressionTheArchiveStaysPlain) {
  auto p = params(3);
  p.compressionEnabled = false;
  auto sink = FileLogSink::make(p);
  sink->log(entry("abcd"));
  sink->flush();
  EXPECT_EQ(fileNames(dir / "Logs"),
            (std::vector<std::string>{"FileProvider.2024-03-01T180456.log", "FileProvider.log"}));
  EXPECT_EQ(readFile(dir / "Logs" / "FileProvider.2024-03-01T180456.log"), "abcd\n");
}

TEST_F(LogFileTest, RetentionDeletesTheOldestArchivesBeyondTheMaximum) {
  struct Case {
    int existingArchives;
    int deleted;
  } cases[] = {{9, 0}, {10, 1}, {12, 3}};
  for (const auto& c : cases) {
    TempDir folder;
    auto p = params(3);
    p.url = folder / "FileProvider.log";
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(100);
    for (int i = 0; i < c.existingArchives; ++i) {
      auto name = folder / ("FileProvider.2024-01-" + std::to_string(10 + i) + "T000000.log.zip");
      writeFile(name, "x");
      fs::last_write_time(name, old + std::chrono::hours(i));
    }
    // Not archives of this file: never counted, never deleted.
    writeFile(folder / "FileProviderHelper.log", "h");
    fs::last_write_time(folder / "FileProviderHelper.log", old - std::chrono::hours(1));
    writeFile(folder / ".FileProvider.hidden", "h");
    writeFile(folder / "Other.log", "o");

    auto sink = FileLogSink::make(p);
    sink->log(entry("abcd"));
    sink->flush();
    auto names = fileNames(folder.path());
    int archives = 0;
    for (const auto& n : names) archives += n.starts_with("FileProvider.20") ? 1 : 0;
    EXPECT_EQ(archives, std::min(c.existingArchives + 1, 10)) << c.existingArchives;
    for (int i = 0; i < c.existingArchives; ++i) {
      auto name = "FileProvider.2024-01-" + std::to_string(10 + i) + "T000000.log.zip";
      bool kept = std::find(names.begin(), names.end(), name) != names.end();
      EXPECT_EQ(kept, i >= c.deleted) << name;
    }
    EXPECT_TRUE(fs::exists(folder / "FileProvider.2024-03-01T180456.log.zip"));
    EXPECT_TRUE(fs::exists(folder / "FileProviderHelper.log"));
    EXPECT_TRUE(fs::exists(folder / ".FileProvider.hidden"));
    EXPECT_TRUE(fs::exists(folder / "Other.log"));
  }
}

TEST_F(LogFileTest, AFullDiskEndsWritingWithoutAReport) {
  fileSystem->writeError = [](int call) {
    return call == 1 ? std::make_error_code(std::errc::no_space_on_device) : std::error_code();
  };
  auto sink = FileLogSink::make(params());
  sink->log(entry("one"));
  sink->flush();
  sink->log(entry("two"));
  sink->flush();
  for (int i = 0; i < 5; ++i) sink->log(entry("later"));
  sink->flush();
  EXPECT_EQ(readFile(params().url), "one\n");
  EXPECT_EQ(fileSystem->writeCalls.load(), 2);
  EXPECT_TRUE(takeReports().empty());
}

TEST_F(LogFileTest, OtherWriteErrorsAreReportedAndWritingGoesOn) {
  fileSystem->writeError = [](int call) {
    return call == 0 ? std::error_code(EIO, std::system_category()) : std::error_code();
  };
  auto sink = FileLogSink::make(params());
  sink->log(entry("lost"));
  sink->flush();
  sink->log(entry("kept"));
  sink->flush();
  EXPECT_EQ(readFile(params().url), "kept\n");
  auto reports = takeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].starts_with("[LogFile] Unable to write to log file [error: [\""))
      << reports[0];
  EXPECT_NE(reports[0].find("code: 5"), std::string::npos);
  EXPECT_NE(reports[0].find("path: \"" + params().url.string() + "\"]"), std::string::npos);
}

TEST_F(LogFileTest, OpeningFailuresAreReportedAndLeaveASinkThatDiscards) {
  auto denied = std::make_error_code(std::errc::permission_denied);
  auto url = dir / "Failing" / "FileProvider.log";
  struct Case {
    std::error_code ScriptedFileSystem::*failure;
    std::string report;
  } cases[] = {
      {&ScriptedFileSystem::createDirectoriesError, "[LogFile] Creating directory failed [error: "},
      {&ScriptedFileSystem::createFileError,
       "[LogFile] Creating log file failed. [location: \"" + url.string() + "\"]"},
      {&ScriptedFileSystem::openError, "[LogFile] Creating file handle failed. [error: "},
  };
  for (const auto& c : cases) {
    auto failing = std::make_shared<ScriptedFileSystem>();
    (*failing).*c.failure = denied;
    auto p = params();
    p.url = url;
    p.fileSystem = failing;
    std::vector<std::string> local;
    p.onError = [&](const std::string& m, const std::optional<LoggerMetadata>&) {
      local.push_back(m);
    };
    ::testing::internal::CaptureStderr();
    auto sink = FileLogSink::make(p);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Unable to open log file at " + p.url.string() + "\n");
    EXPECT_FALSE(sink->logFile());
    sink->log(entry("dropped"));
    auto reports = takeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].starts_with(c.report)) << reports[0];
    EXPECT_EQ(local.size(), 1u);
  }
}

TEST_F(LogFileTest, AFailedMoveIsReportedAndTheLiveFileKeepsGrowing) {
  fileSystem->moveError = std::make_error_code(std::errc::permission_denied);
  auto sink = FileLogSink::make(params(3));
  sink->log(entry("abcd"));
  sink->log(entry("efgh"));
  sink->flush();
  EXPECT_EQ(readFile(params().url), "abcd\nefgh\n");
  auto reports = takeReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[0].starts_with("[LogFile] Moving error [error: ")) << reports[0];
}

TEST_F(LogFileTest, CallersNeverWaitForTheDisk) {
  std::promise<void> diskReady;
  fileSystem->writeGate = diskReady.get_future().share();
  auto sink = FileLogSink::make(params());
  Logger logger("Sync", [&](const std::string&) { return sink; });
  // The file's queue is stuck in its first write; these calls must still return.
  for (int i = 0; i < 1000; ++i) logger.info("line");
  EXPECT_EQ(readFile(params().url), "");
  diskReady.set_value();
  FileLogSink::flushAll();
  auto text = readFile(params().url);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1000);
}
