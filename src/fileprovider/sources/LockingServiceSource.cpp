#include "fileprovider/sources/LockingServiceSource.hpp"

#include <future>

#include "base/JSONValue.hpp"

namespace tarnix::fileprovider {

using common::LockingError;
using Code = common::LockingError::Code;

namespace {

constexpr auto kReplyTimeout = std::chrono::seconds(120);

LockingResult<void> unavailable() {
  return std::unexpected(LockingError(Code::internalError));
}

}  // namespace

LockingServiceSource::LockingServiceSource(std::optional<common::SyncFileIdentifier> itemIdentifier,
                                           std::weak_ptr<LockingSynchronizer> lockingSynchronizer,
                                           std::weak_ptr<LockingService> lockingService,
                                           std::filesystem::path socketDirectory,
                                           base::Logger logger)
    : itemIdentifier_(std::move(itemIdentifier)),
      lockingSynchronizer_(std::move(lockingSynchronizer)),
      lockingService_(std::move(lockingService)),
      logger_(std::move(logger)),
      socket_(std::move(socketDirectory), "Locking-",
              [this](const std::string& line) { return answer(line); }) {}

LockingServiceSource::~LockingServiceSource() {
  stop();
}

std::expected<platform::fileprovider::ServiceEndpoint, platform::fileprovider::Error>
LockingServiceSource::makeListenerEndpoint() {
  return socket_.endpoint();
}

void LockingServiceSource::stop() {
  socket_.stop();
}

void LockingServiceSource::lockFile(std::optional<common::SyncFileIdentifier> file, Reply reply) {
  auto service = lockingService_.lock();
  if (!file) file = itemIdentifier_;
  if (!service) return reply(unavailable());
  if (!file) return reply(std::unexpected(LockingError(Code::invalidFilePath)));
  service->lockFile(*file, common::LocalLockSource::manual(), {},
                    [reply](LockingResult<common::LocalLock> result) {
                      reply(result ? LockingResult<void>() : std::unexpected(result.error()));
                    });
}

void LockingServiceSource::unlockFile(std::optional<common::SyncFileIdentifier> file, Reply reply) {
  auto service = lockingService_.lock();
  if (!file) file = itemIdentifier_;
  if (!service) return reply(unavailable());
  if (!file) return reply(std::unexpected(LockingError(Code::invalidFilePath)));
  service->unlockFile(*file, common::LocalLockSource::manual(), std::move(reply));
}

void LockingServiceSource::synchronizeOpenFilesAndLocks(Reply reply) {
  auto synchronizer = lockingSynchronizer_.lock();
  if (!synchronizer) return reply(unavailable());
  synchronizer->synchronize([reply] { reply({}); });
}

void LockingServiceSource::unlockManualLocks(Reply reply) {
  auto service = lockingService_.lock();
  if (!service) return reply(unavailable());
  service->unlockManualLocks(std::move(reply));
}

std::string LockingServiceSource::answer(const std::string& line) {
  auto reply = base::JSONValue::object();
  auto fail = [&](base::JSONValue error) {
    reply["error"] = std::move(error);
    return reply.dump();
  };
  auto request = base::parseJSON(line);
  if (!request || !request->is_object()) {
    reply["id"] = nullptr;
    return fail({{"message", "A request is one JSON object per line"}});
  }
  reply["id"] = request->contains("id") ? (*request)["id"] : base::JSONValue();
  const auto method = request->value("method", base::JSONValue());
  const auto params = request->value("params", base::JSONValue::object());
  if (!method.is_string() || !params.is_object()) {
    return fail({{"message", "A request needs a method"}});
  }
  std::optional<common::SyncFileIdentifier> file;
  if (auto identifier = params.value("itemIdentifier", base::JSONValue()); identifier.is_string()) {
    file = common::SyncFileIdentifier::fromPrefixed(identifier.get<std::string>());
    if (!file) return fail({{"message", "itemIdentifier is no file identifier"}});
  }

  auto promise = std::make_shared<std::promise<LockingResult<void>>>();
  auto future = promise->get_future();
  Reply done = [promise](LockingResult<void> result) { promise->set_value(std::move(result)); };
  const auto name = method.get<std::string>();
  logger_.info("Locking service request", {{"method", name}});
  if (name == "lockFile") {
    lockFile(file, std::move(done));
  } else if (name == "unlockFile") {
    unlockFile(file, std::move(done));
  } else if (name == "synchronizeOpenFilesAndLocks") {
    synchronizeOpenFilesAndLocks(std::move(done));
  } else if (name == "unlockManualLocks") {
    unlockManualLocks(std::move(done));
  } else {
    return fail({{"message", "Unknown method " + name}});
  }
  if (future.wait_for(kReplyTimeout) != std::future_status::ready) {
    return fail({{"message", "The locking service did not answer in time"}});
  }
  auto result = future.get();
  if (!result) {
    const auto& error = result.error();
    return fail({{"domain", std::string(common::kLockingErrorDomain)},
                 {"code", static_cast<std::int64_t>(error.code)},
                 {"message", error.description()},
                 {"recoverySuggestion", error.recoverySuggestion()}});
  }
  reply["result"] = nullptr;
  return reply.dump();
}

}  // namespace tarnix::fileprovider
