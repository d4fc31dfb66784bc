#include "common/ItemLocks.hpp"

namespace tarnix::common {
namespace {
std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  size_t start = 0;
  while (true) {
    const size_t bar = text.find('|', start);
    parts.emplace_back(text.substr(start, bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  return parts;
}

template <class Field>
std::string join(const std::vector<LockingApplicationData>& applications, Field field) {
  std::string joined;
  for (size_t i = 0; i < applications.size(); ++i) {
    if (i > 0) joined += '|';
    joined += sanitizedApplicationField(applications[i].*field);
  }
  return joined;
}
}  // namespace

std::string sanitizedApplicationField(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    // The separator would split one application into two; control characters (CR and LF
    // above all) would end a header line.
    if (c == '|' || byte < 0x20 || byte == 0x7f) {
      if (!clean.empty() && clean.back() != ' ') clean += ' ';
      continue;
    }
    clean += c;
  }
  while (!clean.empty() && clean.back() == ' ') clean.pop_back();
  return clean;
}

std::string joinedApplicationNames(const std::vector<LockingApplicationData>& applications) {
  return join(applications, &LockingApplicationData::name);
}

std::string joinedApplicationVersions(const std::vector<LockingApplicationData>& applications) {
  return join(applications, &LockingApplicationData::version);
}

std::vector<LockingApplicationData> splitApplications(std::string_view names,
                                                      std::string_view versions) {
  const auto nameParts = split(names);
  const auto versionParts = split(versions);
  std::vector<LockingApplicationData> applications;
  for (size_t i = 0; i < nameParts.size(); ++i) {
    applications.push_back({nameParts[i], i < versionParts.size() ? versionParts[i] : ""});
  }
  return applications;
}

}  // namespace tarnix::common
