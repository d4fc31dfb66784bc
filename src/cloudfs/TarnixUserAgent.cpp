#include "cloudfs/TarnixUserAgent.hpp"

#include <sys/utsname.h>

#include <cstdlib>

#include "base/SemanticVersion.hpp"

namespace tarnix::cloudfs {

UserAgentSystemInfo UserAgentSystemInfo::current() {
  UserAgentSystemInfo info;
  const char* locale = nullptr;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  info.localeIdentifier = localeIdentifierFrom(locale ? locale : "");
  struct utsname names {};
  if (uname(&names) == 0) {
    info.osVersion = osVersionFrom(names.release);
    info.architecture = names.machine;
  } else {
    info.osVersion = "0.0.0";
    info.architecture = "unknown";
  }
  return info;
}

std::string UserAgentSystemInfo::localeIdentifierFrom(std::string_view value) {
  auto end = value.find_first_of(".@");
  std::string_view identifier = value.substr(0, end);
  if (identifier.empty() || identifier == "C" || identifier == "POSIX") return "en_US";
  return std::string(identifier);
}

std::string UserAgentSystemInfo::osVersionFrom(std::string_view release) {
  int parts[3] = {0, 0, 0};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (pos >= release.size() || release[pos] < '0' || release[pos] > '9') break;
    int value = 0;
    while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9' && value < 100000) {
      value = value * 10 + (release[pos++] - '0');
    }
    parts[i] = value;
    if (pos >= release.size() || release[pos] != '.') break;
    ++pos;
  }
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

TarnixUserAgent::TarnixUserAgent(std::string deviceID, std::string_view applicationVersion,
                                 std::string_view applicationBuildVersion,
                                 const UserAgentSystemInfo& systemInfo)
    : deviceID_(std::move(deviceID)) {
  std::string version = "0.0.0";
  if (auto parsed = base::SemanticVersion::parse(applicationVersion)) {
    parsed->build.clear();
    version = parsed->description();
  }
  std::string build = "1";
  if (auto parsed = base::SemanticVersion::parse(applicationBuildVersion);
      parsed && !parsed->build.empty()) {
    build = parsed->build.front();
  }
  vanillaHeaderValue_ = "Tarnix/" + version + " (" + std::string(kActionSource) + "; " + build +
                        "; " + systemInfo.localeIdentifier + "; Linux; " + systemInfo.osVersion +
                        "; " + systemInfo.architecture + ")";
}

}  // namespace tarnix::cloudfs
