#include "fileprovider/sources/ListingServiceSource.hpp"

#include <chrono>
#include <future>

#include "base/JSONValue.hpp"

namespace tarnix::fileprovider {

namespace {

constexpr auto kReplyTimeout = std::chrono::seconds(120);

ListingError schedulerGone() {
  return ListingError(ListingUnavailable{"the provider is gone"});
}

}  // namespace

ListingServiceSource::ListingServiceSource(std::shared_ptr<common::SyncItemStorage> itemStorage,
                                           std::weak_ptr<ListingScheduler> listingScheduler,
                                           std::filesystem::path socketDirectory,
                                           base::Logger logger)
    : itemStorage_(std::move(itemStorage)),
      scheduler_(std::move(listingScheduler)),
      logger_(std::move(logger)),
      socket_(std::move(socketDirectory), "Listing-",
              [this](const std::string& line) { return answer(line); }) {}

ListingServiceSource::~ListingServiceSource() {
  stop();
}

std::expected<fp::ServiceEndpoint, fp::Error> ListingServiceSource::makeListenerEndpoint() {
  return socket_.endpoint();
}

void ListingServiceSource::stop() {
  socket_.stop();
}

void ListingServiceSource::refreshFolderFromCloud(const common::SyncItemIdentifier& identifier,
                                                  Reply completionHandler) {
  logger_.info("Force refreshing folder", {{"itemID", identifier.description()}});
  auto scheduler = scheduler_.lock();
  if (!scheduler) return completionHandler(schedulerGone());
  scheduler->triggerListing(
      identifier, ListingOrigin::enumerator, true, false,
      [logger = logger_, identifier,
       completionHandler = std::move(completionHandler)](ListingResult<void> result) {
        if (result) {
          logger.info("Force refreshing folder succeeded", {{"itemID", identifier.description()}});
          return completionHandler(std::nullopt);
        }
        logger.error("Force refreshing folder failed", {{"itemID", identifier.description()},
                                                        {"error", result.error().description()}});
        completionHandler(result.error());
      });
}

void ListingServiceSource::refresh(const std::string& path, Reply reply) {
  auto failed = [&](ListingError error) {
    logger_.error("Refreshing path failed", {{"path", path}, {"error", error.description()}});
    reply(std::move(error));
  };
  auto scheduler = scheduler_.lock();
  if (!scheduler) return failed(schedulerGone());
  auto item = itemStorage_->findItem(path);
  if (!item) return failed(ListingError(item.error()));
  if (!*item) return failed(ListingError(common::SyncError(common::SyncError::Code::pathNotFound)));
  logger_.info("Refreshing path",
               {{"path", path}, {"itemID", (*item)->itemIdentifier.description()}});
  scheduler->triggerListing((*item)->itemIdentifier, ListingOrigin::enumerator, true, false,
                            [logger = logger_, path, reply = std::move(reply)](auto result) {
                              if (result) {
                                logger.info("Refreshing path succeeded", {{"path", path}});
                                return reply(std::nullopt);
                              }
                              logger.error(
                                  "Refreshing path failed",
                                  {{"path", path}, {"error", result.error().description()}});
                              reply(result.error());
                            });
}

void ListingServiceSource::discover(const std::string& path, Reply reply) {
  logger_.info("Discovering path", {{"path", path}});
  auto scheduler = scheduler_.lock();
  if (!scheduler) return reply(schedulerGone());
  scheduler->trigger(ListingRequest::byPath(path), ListingOrigin::enumerator, false,
                     [reply = std::move(reply)](ListingResult<void> result) {
                       reply(result ? std::nullopt : std::optional(result.error()));
                     });
}

std::string ListingServiceSource::answer(const std::string& line) {
  auto reply = base::JSONValue::object();
  auto fail = [&](const std::string& message) {
    reply["error"] = {{"message", message}};
    return reply.dump();
  };
  auto request = base::parseJSON(line);
  if (!request || !request->is_object()) {
    reply["id"] = nullptr;
    return fail("A request is one JSON object per line");
  }
  reply["id"] = request->contains("id") ? (*request)["id"] : base::JSONValue();
  const auto method = request->value("method", base::JSONValue());
  const auto params = request->value("params", base::JSONValue::object());
  if (!method.is_string() || !params.is_object()) return fail("A request needs a method");
  auto text = [&](const char* key) -> std::optional<std::string> {
    auto value = params.value(key, base::JSONValue());
    if (!value.is_string()) return std::nullopt;
    return value.get<std::string>();
  };

  auto promise = std::make_shared<std::promise<std::optional<ListingError>>>();
  auto future = promise->get_future();
  Reply done = [promise](std::optional<ListingError> error) {
    promise->set_value(std::move(error));
  };
  const auto name = method.get<std::string>();
  if (name == "refresh" || name == "discover") {
    auto path = text("path");
    if (!path) return fail(name + " needs a path");
    name == "refresh" ? refresh(*path, std::move(done)) : discover(*path, std::move(done));
  } else if (name == "refreshFolderFromCloud") {
    auto identifier = text("identifier");
    auto parsed = identifier ? common::SyncItemIdentifier::fromPrefixed(*identifier) : std::nullopt;
    if (!parsed) return fail("refreshFolderFromCloud needs an item identifier");
    refreshFolderFromCloud(*parsed, std::move(done));
  } else {
    return fail("Unknown method " + name);
  }
  if (future.wait_for(kReplyTimeout) != std::future_status::ready) {
    return fail("The listing did not finish in time");
  }
  if (auto error = future.get()) return fail(error->description());
  reply["result"] = nullptr;
  return reply.dump();
}

}  // namespace tarnix::fileprovider
