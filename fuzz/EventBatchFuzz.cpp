// Event bodies from the cloud's change feeds (the sync back end's batches and the public
// events of an announced range): any body gives events or a typed error, never a crash or
// undefined behaviour, and a decoded batch never exceeds its limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cloudfs/responses/EventResponses.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnix;
  cloudfs::CloudFSResponse response;
  response.httpResponse.statusCode = 200;
  response.body = std::string(reinterpret_cast<const char*>(data), size);
  if (auto batch = cloudfs::GetEventsResponse::decode(response)) {
    check(batch->events.size() <= cloudfs::kMaximumEventsPerBatch);
  } else {
    check(!batch.error().description().empty());
  }
  if (auto announced = cloudfs::EventsResponse::decode(response)) {
    check(announced->events.size() <= cloudfs::kMaximumEventsPerBatch);
  } else {
    check(!announced.error().description().empty());
  }
  return 0;
}
