#pragma once
// The owner of one database file: a writer connection used only on its serial queue, and a
// pool of reader connections that read consistent snapshots from any thread.
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "common/Database.hpp"

namespace tarnix::common {

class DatabaseQueue {
 public:
  /// Takes over `writer` (already migrated). `label` names the writer queue ("DriveDatabase").
  DatabaseQueue(std::unique_ptr<Database> writer, std::string label);
  ~DatabaseQueue();
  DatabaseQueue(const DatabaseQueue&) = delete;
  DatabaseQueue& operator=(const DatabaseQueue&) = delete;

  const std::filesystem::path& path() const { return path_; }
  base::DispatchQueue& queue() { return queue_; }

  /// Runs `body` on the writer queue inside one transaction and returns its result; a failed
  /// result rolls the transaction back. Any thread may call it and waits for the queue; called
  /// from a block already on the writer queue it runs at once as a nested transaction.
  template <class T>
  DatabaseResult<T> write(const std::function<DatabaseResult<T>(Database&)>& body) {
    auto run = [&]() -> DatabaseResult<T> {
      return writer_->transaction<T>([&] { return body(*writer_); });
    };
    if (queue_.isCurrent()) return run();
    return queue_.sync(run);
  }

  /// Runs `body` in a read transaction: it sees one consistent snapshot of the committed data
  /// while writers go on. Any thread may call it; on the writer queue it reads through the
  /// writer connection (and so sees that block's own uncommitted writes).
  template <class T>
  DatabaseResult<T> read(const std::function<DatabaseResult<T>(Database&)>& body) {
    if (queue_.isCurrent()) return body(*writer_);
    auto reader = takeReader();
    if (!reader) return std::unexpected(reader.error());
    auto result = (*reader)->template transaction<T>([&] { return body(**reader); });
    returnReader(std::move(*reader));
    return result;
  }

 private:
  DatabaseResult<std::unique_ptr<Database>> takeReader();
  void returnReader(std::unique_ptr<Database> reader);

  std::filesystem::path path_;
  std::unique_ptr<Database> writer_;
  base::DispatchQueue queue_;
  // Guards idleReaders_ only.
  std::mutex readersMutex_;
  std::vector<std::unique_ptr<Database>> idleReaders_;
};

}  // namespace tarnix::common
