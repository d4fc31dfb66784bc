#include "fileprovider/sources/ProviderInstanceServiceSource.hpp"

#include <chrono>
#include <future>

#include "base/JSONValue.hpp"

namespace tarnix::fileprovider {

namespace {

constexpr auto kActionReplyTimeout = std::chrono::seconds(60);

base::JSONValue errorObject(const fp::Error& error) {
  auto object = base::JSONValue::object();
  object["domain"] = error.domain();
  object["code"] = error.code();
  object["message"] = error.localizedDescription();
  return object;
}

fp::Error requestError(std::string message) {
  return fp::Error(fp::CocoaErrorCode::coderReadCorrupt,
                   {{std::string(fp::Error::kLocalizedDescriptionKey), std::move(message)}});
}

}  // namespace

ProviderInstanceServiceSource::ProviderInstanceServiceSource(
    std::weak_ptr<ProviderInstanceService> provider, std::filesystem::path socketDirectory,
    base::Logger logger)
    : provider_(std::move(provider)),
      logger_(std::move(logger)),
      socket_(std::move(socketDirectory), "ExtensionInstance-",
              [this](const std::string& line) { return answer(line); }) {}

ProviderInstanceServiceSource::~ProviderInstanceServiceSource() {
  stop();
}

std::expected<fp::ServiceEndpoint, fp::Error>
ProviderInstanceServiceSource::makeListenerEndpoint() {
  return socket_.endpoint();
}

void ProviderInstanceServiceSource::stop() {
  socket_.stop();
}

std::string ProviderInstanceServiceSource::answer(const std::string& line) {
  auto reply = base::JSONValue::object();
  auto request = base::parseJSON(line);
  if (!request || !request->is_object()) {
    reply["id"] = nullptr;
    reply["error"] = errorObject(requestError("A request is one JSON object per line"));
    return reply.dump();
  }
  reply["id"] = request->contains("id") ? (*request)["id"] : base::JSONValue();
  const auto method = request->value("method", base::JSONValue()).is_string()
                          ? (*request)["method"].get<std::string>()
                          : std::string();
  auto provider = provider_.lock();
  if (!provider) {
    reply["error"] = errorObject(fp::Error(fp::FileProviderErrorCode::cannotSynchronize));
    return reply.dump();
  }
  if (method == "isImportComplete") {
    reply["result"] = provider->isImportComplete();
  } else if (method == "getImportProgress") {
    const auto progress = provider->importProgress();
    reply["result"] = {{"itemsToImport", progress.itemsToImport},
                       {"itemsImported", progress.itemsImported}};
  } else if (method == "performAction") {
    const auto params = request->value("params", base::JSONValue::object());
    const auto action = params.value("actionIdentifier", base::JSONValue());
    const auto items = params.value("itemIdentifiers", base::JSONValue());
    bool valid = action.is_string() && items.is_array();
    std::vector<fp::ItemIdentifier> identifiers;
    if (valid) {
      for (const auto& item : items) {
        if (!item.is_string())
          valid = false;
        else
          identifiers.emplace_back(item.get<std::string>());
      }
    }
    if (!valid) {
      reply["error"] =
          errorObject(requestError("performAction needs an actionIdentifier and itemIdentifiers"));
      return reply.dump();
    }
    auto promise = std::make_shared<std::promise<std::optional<fp::Error>>>();
    auto future = promise->get_future();
    provider->performActionWithIdentifier(
        action.get<std::string>(), identifiers,
        [promise](std::optional<fp::Error> error) { promise->set_value(std::move(error)); });
    if (future.wait_for(kActionReplyTimeout) != std::future_status::ready) {
      reply["error"] = errorObject(fp::Error(fp::CocoaErrorCode::xpcConnectionReplyInvalid));
    } else if (auto error = future.get()) {
      reply["error"] = errorObject(*error);
    } else {
      reply["result"] = nullptr;
    }
  } else {
    reply["error"] = errorObject(requestError("Unknown method " + method));
  }
  return reply.dump();
}

}  // namespace tarnix::fileprovider
