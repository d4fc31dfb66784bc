// Link answers from the cloud: any body gives a URL or a typed error, never a crash or
// undefined behaviour, and a URL that is given is one the commands may print and hand to a
// browser (http or https, a host, no whitespace or control characters).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cloudfs/responses/LinkResponses.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

template <class Decoded>
void checkURL(const tarnix::cloudfs::CloudFSResponse& response, std::string Decoded::*url) {
  auto decoded = Decoded::decode(response);
  if (!decoded) {
    check(!decoded.error().description().empty());
    return;
  }
  const std::string& text = *decoded.*url;
  check(tarnix::cloudfs::isWebURL(text));
  for (const char c : text) check(static_cast<unsigned char>(c) > 0x20 && c != 0x7f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnix::cloudfs;
  CloudFSResponse response;
  response.httpResponse.statusCode = 200;
  response.body = std::string(reinterpret_cast<const char*>(data), size);
  checkURL(response, &CopyDefaultLinkResponse::link);
  checkURL(response, &ViewOnlineResponse::url);
  return 0;
}
