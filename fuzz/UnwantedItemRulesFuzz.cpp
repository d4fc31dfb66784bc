// Unwanted-item rules against arbitrary names and rule texts: rule construction never fails
// but for patterns that do not compile, and every match agrees with the rule's plain meaning:
// type filters hold, case-insensitive lists ignore ASCII case, and the cloud list always takes
// the names no local folder can hold.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/UnwantedItemRules.hpp"

namespace {

using tarnix::common::ItemType;
using tarnix::common::UnwantedItemRules;
using tarnix::common::UnwantedItemTypes;

enum Kind { prefix, suffix, basenameSuffix, substring, exact, prefixAndSuffix, regex, kKinds };

std::string uppercasedASCII(std::string_view text) {
  std::string out(text);
  for (auto& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string_view withoutExtension(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

/// What a string rule means, written out independently of the rules.
bool expected(Kind kind, const std::string& text, const std::string& other, std::string_view name) {
  switch (kind) {
    case prefix:
      return !text.empty() && name.starts_with(text);
    case suffix:
      return !text.empty() && name.ends_with(text);
    case basenameSuffix:
      return !text.empty() && (name.ends_with(text) || withoutExtension(name).ends_with(text));
    case substring:
      return !text.empty() && name.find(text) != std::string_view::npos;
    case exact:
      return name == text;
    case prefixAndSuffix:
      return name.size() >= text.size() + other.size() && name.starts_with(text) &&
             name.ends_with(other);
    default:
      return false;
  }
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto kind = static_cast<Kind>(input.ConsumeIntegralInRange<int>(0, kKinds - 1));
  const bool caseInsensitive = input.ConsumeBool();
  const UnwantedItemTypes types{input.ConsumeIntegralInRange<int>(1, 3)};
  std::string text = input.ConsumeRandomLengthString(48);
  std::string other = input.ConsumeRandomLengthString(16);
  const std::string name = input.ConsumeRemainingBytesAsString();

  UnwantedItemRules rules;
  bool built = true;
  switch (kind) {
    case prefix:
      rules.addRulePrefix(text, caseInsensitive, types);
      break;
    case suffix:
      rules.addRuleSuffix(text, caseInsensitive, types);
      break;
    case basenameSuffix:
      rules.addRuleBasenameSuffix(text, caseInsensitive, types);
      break;
    case substring:
      rules.addRuleSubstring(text, caseInsensitive, types);
      break;
    case exact:
      rules.addRuleExact(text, caseInsensitive, types);
      break;
    case prefixAndSuffix:
      rules.addRulePrefixAndSuffix(text, other, caseInsensitive, types);
      break;
    case regex:
      built = rules.addRuleRegex(text, caseInsensitive, types).has_value();
      break;
    case kKinds:
      break;
  }
  const auto ruleCount =
      rules.caseSensitiveRules().rules().size() + rules.caseInsensitiveRules().rules().size();
  check(ruleCount == (built ? 1u : 0u));

  const auto lowerName = tarnix::common::lowercasedASCII(name);
  if (caseInsensitive) {
    text = tarnix::common::lowercasedASCII(text);
    other = tarnix::common::lowercasedASCII(other);
  }
  for (const auto type : {ItemType::file, ItemType::folder}) {
    const bool matched = rules.matches(name, type);
    if (!types.contains(type)) check(!matched);
    if (kind != regex && types.contains(type)) {
      check(matched == expected(kind, text, other, caseInsensitive ? lowerName : name));
    }
    if (caseInsensitive) {
      check(matched == rules.matches(uppercasedASCII(name), type));
      check(matched == rules.matches(lowerName, type));
    }

    // The built-in lists: all of the local one ignores case; the cloud one takes every name
    // that cannot be a file here.
    const auto& local = UnwantedItemRules::defaultRules();
    check(local.matches(name, type) == local.matches(uppercasedASCII(name), type));
    const bool unusable = name.empty() || name == "." || name == ".." ||
                          name.find('/') != std::string::npos ||
                          name.find('\0') != std::string::npos;
    if (unusable) check(UnwantedItemRules::cloudFSRules().matches(name, type));
  }
  return 0;
}
