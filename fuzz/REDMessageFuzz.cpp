// What reaches the client from the real-time event socket and its event downloads: any text
// frame gives one of the two messages or a logged drop, and any public events body gives
// events whose decoded bodies are consistent, or an error; never a crash or undefined
// behaviour.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cloudfs/responses/EventResponses.hpp"
#include "fileprovider/events/REDEvent.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void checkBody(const tarnix::fileprovider::REDEventBody& body) {
  using Kind = tarnix::fileprovider::REDEventBody::Kind;
  switch (body.kind) {
    case Kind::copyFolder:
    case Kind::copyFile:
    case Kind::moveFolder:
    case Kind::moveFile:
      check(body.path && !body.path->empty() && body.sourcePath && !body.sourcePath->empty());
      break;
    case Kind::permissionChangeWithoutTarget:
    case Kind::noop:
      check(!body.path && !body.sourcePath);
      break;
    default:
      check(body.path && !body.path->empty() && !body.sourcePath);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnix;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const base::Logger logger = base::Logger::null();

  auto message = fileprovider::decodeREDIncomingMessage(text, logger);
  if (text.empty() || text == " ") check(!message);
  if (message) check(message->eventID >= 0);

  cloudfs::CloudFSResponse response;
  response.httpResponse.statusCode = 200;
  response.body = std::string(text);
  if (auto events = cloudfs::EventsResponse::decode(response)) {
    for (const auto& event : events->events) {
      if (auto decoded = fileprovider::REDEvent::decode(event)) {
        check(decoded->identifier == event.eventID);
        checkBody(decoded->body);
      } else {
        check(!decoded.error().empty());
      }
    }
  }

  // The first line as an action, the next two as source and target paths.
  auto line = [&, rest = text]() mutable -> std::optional<std::string> {
    if (rest.empty()) return std::nullopt;
    auto end = rest.find('\n');
    std::string part(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return part;
  };
  auto action = line().value_or("");
  auto source = line();
  auto target = line();
  if (auto body = fileprovider::REDEventBody::decode(action, source, target)) checkBody(*body);
  return 0;
}
