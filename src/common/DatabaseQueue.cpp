#include "common/DatabaseQueue.hpp"

namespace tarnix::common {

namespace {
constexpr size_t kMaxIdleReaders = 4;
}

DatabaseQueue::DatabaseQueue(std::unique_ptr<Database> writer, std::string label)
    : path_(writer->path()), writer_(std::move(writer)), queue_(std::move(label)) {}

DatabaseQueue::~DatabaseQueue() {
  // Blocks already submitted use the writer connection: let them finish first.
  queue_.drain();
}

DatabaseResult<std::unique_ptr<Database>> DatabaseQueue::takeReader() {
  {
    std::lock_guard lock(readersMutex_);
    if (!idleReaders_.empty()) {
      auto reader = std::move(idleReaders_.back());
      idleReaders_.pop_back();
      return reader;
    }
  }
  return Database::open(path_, Database::Mode::readOnly);
}

void DatabaseQueue::returnReader(std::unique_ptr<Database> reader) {
  std::lock_guard lock(readersMutex_);
  if (idleReaders_.size() < kMaxIdleReaders) idleReaders_.push_back(std::move(reader));
}

}  // namespace tarnix::common
