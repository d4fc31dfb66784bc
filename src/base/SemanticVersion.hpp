#pragma once
// Semantic version text: "MAJOR.MINOR.PATCH[-PRERELEASE][+BUILD]".

#include <compare>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix::base {

struct SemanticVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
  std::vector<std::string> prerelease;  // dot-separated identifiers
  std::vector<std::string> build;       // ignored in comparisons

  /// Parses strict semantic versions; "1.2" and "1" are accepted with missing parts as 0.
  static std::optional<SemanticVersion> parse(std::string_view text);
  std::string description() const;

  /// Precedence as semver 2.0 defines it (build metadata ignored).
  std::strong_ordering operator<=>(const SemanticVersion& other) const;
  bool operator==(const SemanticVersion& other) const { return (*this <=> other) == 0; }
};

}  // namespace tarnix::base
