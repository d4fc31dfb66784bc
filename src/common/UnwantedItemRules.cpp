#include "common/UnwantedItemRules.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <utility>

namespace tarnix::common {

std::string lowercasedASCII(std::string_view text) {
  std::string lowered(text);
  for (auto& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

namespace {
// The name without its last extension; a leading dot does not start an extension.
std::string_view withoutExtension(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}
}  // namespace

bool UnwantedItemStringRule::matches(std::string_view filename, ItemType) const {
  using enum Variant;
  if (variant_ == exact) return filename == string_;
  if (string_.empty()) return false;
  switch (variant_) {
    case prefix:
      return filename.starts_with(string_);
    case suffix:
      return filename.ends_with(string_);
    case basenameSuffix:
      return filename.ends_with(string_) || withoutExtension(filename).ends_with(string_);
    case substring:
      return filename.find(string_) != std::string_view::npos;
    case exact:
      break;
  }
  return false;
}

bool UnwantedItemPrefixAndSuffixRule::matches(std::string_view filename, ItemType) const {
  return filename.size() >= prefix_.size() + suffix_.size() && filename.starts_with(prefix_) &&
         filename.ends_with(suffix_);
}

// MARK: Regular expressions

struct UnwantedItemRegexRule::Compiled {
  pcre2_code* code = nullptr;
  pcre2_match_context* context = nullptr;
  ~Compiled() {
    pcre2_match_context_free(context);
    pcre2_code_free(code);
  }
};

namespace {
// Bounds of one match: the default patterns need a few hundred steps on any real name; a name
// crafted to make a pattern backtrack stops here instead of taking the thread.
constexpr uint32_t kMatchLimit = 200'000;
constexpr uint32_t kHeapLimitKiB = 1024;
}  // namespace

std::expected<std::shared_ptr<UnwantedItemRegexRule>, UnwantedItemRuleError>
UnwantedItemRegexRule::make(std::string pattern, bool caseInsensitive) {
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  auto compiled = std::make_unique<Compiled>();
  compiled->code =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                    caseInsensitive ? PCRE2_CASELESS : 0u, &errorCode, &errorOffset, nullptr);
  if (!compiled->code) {
    PCRE2_UCHAR buffer[256];
    pcre2_get_error_message(errorCode, buffer, sizeof buffer);
    return std::unexpected(UnwantedItemRuleError{
        std::move(pattern), std::string(reinterpret_cast<const char*>(buffer)) + " at offset " +
                                std::to_string(errorOffset)});
  }
  compiled->context = pcre2_match_context_create(nullptr);
  if (!compiled->context) {
    return std::unexpected(UnwantedItemRuleError{std::move(pattern), "out of memory"});
  }
  pcre2_set_match_limit(compiled->context, kMatchLimit);
  pcre2_set_heap_limit(compiled->context, kHeapLimitKiB);
  return std::shared_ptr<UnwantedItemRegexRule>(
      new UnwantedItemRegexRule(std::move(pattern), std::move(compiled)));
}

UnwantedItemRegexRule::UnwantedItemRegexRule(std::string pattern,
                                             std::unique_ptr<Compiled> compiled)
    : pattern_(std::move(pattern)), compiled_(std::move(compiled)) {}

UnwantedItemRegexRule::~UnwantedItemRegexRule() = default;

bool UnwantedItemRegexRule::matches(std::string_view filename, ItemType) const {
  // Only whether it matches counts, not where: one pair of offsets suffices for any pattern (a
  // match with more groups than fit still succeeds, with 0). Kept per thread so that matching
  // the names of a large listing does not allocate for each.
  struct MatchData {
    pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
    ~MatchData() { pcre2_match_data_free(data); }
  };
  thread_local MatchData match;
  if (!match.data) return false;
  const int result = pcre2_match(compiled_->code, reinterpret_cast<PCRE2_SPTR>(filename.data()),
                                 filename.size(), 0, 0, match.data, compiled_->context);
  return result >= 0;
}

// MARK: Lists

bool UnwantedItemRuleList::matches(std::string_view filename, ItemType itemType) const {
  for (const auto& rule : rules_) {
    if (rule->matches(filename, itemType)) return true;
  }
  return false;
}

bool UnwantedItemRules::matches(std::string_view filename, ItemType itemType) const {
  if (caseSensitiveRules_.matches(filename, itemType)) return true;
  if (caseInsensitiveRules_.rules().empty()) return false;
  return caseInsensitiveRules_.matches(lowercasedASCII(filename), itemType);
}

void UnwantedItemRules::append(std::shared_ptr<const UnwantedItemRule> rule, bool caseInsensitive,
                               UnwantedItemTypes itemTypes) {
  if (itemTypes != UnwantedItemTypes::both()) {
    rule = std::make_shared<UnwantedItemTypeFilterRule>(std::move(rule), itemTypes);
  }
  (caseInsensitive ? caseInsensitiveRules_ : caseSensitiveRules_).append(std::move(rule));
}

void UnwantedItemRules::addStringRule(std::string text, UnwantedItemStringRule::Variant variant,
                                      bool caseInsensitive, UnwantedItemTypes itemTypes) {
  if (caseInsensitive) text = lowercasedASCII(text);
  append(std::make_shared<UnwantedItemStringRule>(std::move(text), variant), caseInsensitive,
         itemTypes);
}

void UnwantedItemRules::addRulePrefixAndSuffix(std::string prefix, std::string suffix,
                                               bool caseInsensitive, UnwantedItemTypes itemTypes) {
  if (caseInsensitive) {
    prefix = lowercasedASCII(prefix);
    suffix = lowercasedASCII(suffix);
  }
  append(std::make_shared<UnwantedItemPrefixAndSuffixRule>(std::move(prefix), std::move(suffix)),
         caseInsensitive, itemTypes);
}

std::expected<void, UnwantedItemRuleError> UnwantedItemRules::addRuleRegex(
    std::string regex, bool caseInsensitive, UnwantedItemTypes itemTypes) {
  // Caseless compilation instead of lower-casing the pattern: lower-casing would turn escapes
  // such as "\D" or "\S" into their opposites.
  auto rule = UnwantedItemRegexRule::make(std::move(regex), caseInsensitive);
  if (!rule) return std::unexpected(rule.error());
  append(std::move(*rule), caseInsensitive, itemTypes);
  return {};
}

// MARK: Built-in lists

namespace {
void addRegexOrAbort(UnwantedItemRules& rules, const char* pattern) {
  // Built-in patterns are fixed text; the tests compile every one of them.
  if (!rules.addRuleRegex(pattern, true)) std::abort();
}
}  // namespace

const UnwantedItemRules& UnwantedItemRules::defaultRules() {
  static const UnwantedItemRules rules = [] {
    UnwantedItemRules r;
    for (const char* exact :
         {".ds_store", ".metadata_never_index", "thumbs.db", "powerpoint temp", "desktop.ini"}) {
      r.addRuleExact(exact, true);
    }
    for (const char* prefix : {"._", ".~", "word work file", "_qvz_.", ".smbdelete"}) {
      r.addRulePrefix(prefix, true);
    }
    for (const char* suffix : {"._attribs_", "._rights_", "._qvz_", "_qvzmeta", ".tmp",
                               "-spotlight", ".ac$", ".sv$", ".$$$", ".~vsdx"}) {
      r.addRuleSuffix(suffix, true);
    }
    const std::pair<const char*, const char*> prefixAndSuffix[] = {
        {"~", ".idlk"},           {"~", ".xlsx"},    {"~", ".xlsx (deleted)"}, {"~", ".pptx"},
        {"~", ".pptx (deleted)"}, {"~$", ".dotx"},   {"~$", ".rtf"},           {"~$", ".sldlfp"},
        {"~$", ".sldprt"},        {"~$", ".sldasm"}, {"~$", ".sldlfp"},        {"~$", ".slddrw"},
        {"AdobeFnt", ".lst"}};
    for (const auto& [prefix, suffix] : prefixAndSuffix) {
      r.addRulePrefixAndSuffix(prefix, suffix, true);
    }
    for (const char* pattern : {R"(^~\$.*\.(docx?|pptx?|xlsm)(\s\(deleted\))?$)",
                                R"(^atmp[0-9a-z]{4}$|^atmp[0-9a-z]{8}$)", R"(.*\.sas\.b[0-9]{2}$)",
                                R"(^aa[a-z]{1}\d{5}$)", R"(indesign-fil\d{3,}-?\d{5,}$)",
                                R"(untitled-\d+\.i\d{3,}-\d{5,}$)"}) {
      addRegexOrAbort(r, pattern);
    }
    r.addRuleBasenameSuffix("~", true);
    // Spotlight's index and the ".data" store are folders; files of these names are the user's.
    r.addRulePrefix(".spotlight-", true, UnwantedItemTypes::folder());
    r.addRuleExact(".data", true, UnwantedItemTypes::folder());
    return r;
  }();
  return rules;
}

const UnwantedItemRules& UnwantedItemRules::cloudFSRules() {
  static const UnwantedItemRules rules = [] {
    UnwantedItemRules r;
    for (const char* exact : {"", ".", ".."}) r.addRuleExact(exact, false);
    r.addRuleSubstring("/", false);
    r.addRuleSubstring(std::string(1, '\0'), false);
    r.addRuleExact(".ds_store", true);
    r.addRulePrefix("._", true);
    // Lock files of office suites: shown here they would claim a document is open elsewhere.
    r.addRulePrefix(".~lock.", true, UnwantedItemTypes::file());
    addRegexOrAbort(r, R"(^~\$.*\.(docx?|dotx?|xlsx?|xlsm|pptx?|rtf)$)");
    return r;
  }();
  return rules;
}

}  // namespace tarnix::common
