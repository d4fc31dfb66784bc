#pragma once
// Names that are never uploaded or shown as synchronised items: operating-system metadata,
// editors' lock and temporary files, and the product's own auxiliary files.
//
// A rule answers whether a name (of a file or a folder) matches. `UnwantedItemRules` keeps two
// ordered lists: the case-sensitive rules compare the name as given, the case-insensitive ones
// compare it with its ASCII letters lower-cased (their texts are lower-cased when added).
//
// Threads: a built rule set is immutable and may be matched from any thread at once; adding a
// rule is not synchronised and belongs to whoever builds the set.
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/SyncIdentifiers.hpp"

namespace tarnix::common {

/// Which item types a rule applies to; an option set over its raw value.
struct UnwantedItemTypes {
  int rawValue = 0;

  static constexpr int kFolder = 1;
  static constexpr int kFile = 2;
  static UnwantedItemTypes folder() { return {kFolder}; }
  static UnwantedItemTypes file() { return {kFile}; }
  static UnwantedItemTypes both() { return {kFolder | kFile}; }

  bool contains(ItemType type) const {
    return (rawValue & (type == ItemType::folder ? kFolder : kFile)) != 0;
  }
  bool operator==(const UnwantedItemTypes&) const = default;
};

class UnwantedItemRule {
 public:
  virtual ~UnwantedItemRule() = default;
  /// `filename` is compared as given: the list holding the rule lower-cases it beforehand
  /// when the list is case-insensitive.
  virtual bool matches(std::string_view filename, ItemType itemType) const = 0;
};

class UnwantedItemStringRule final : public UnwantedItemRule {
 public:
  /// `basenameSuffix`: the name, or the name without its last extension, ends with the text
  /// ("backup~", "notes.txt~" and "report~.docx" all end in "~"). A leading dot does not start
  /// an extension. `prefix`, `suffix`, `basenameSuffix` and `substring` with an empty text match
  /// nothing, so that an empty entry cannot hide every item.
  enum class Variant { prefix, suffix, basenameSuffix, substring, exact };

  UnwantedItemStringRule(std::string string, Variant variant)
      : string_(std::move(string)), variant_(variant) {}
  const std::string& string() const { return string_; }
  Variant variant() const { return variant_; }
  bool matches(std::string_view filename, ItemType itemType) const override;

 private:
  std::string string_;
  Variant variant_;
};

/// Matches a name that starts with `prefix` and ends with `suffix`, the two not overlapping.
class UnwantedItemPrefixAndSuffixRule final : public UnwantedItemRule {
 public:
  UnwantedItemPrefixAndSuffixRule(std::string prefix, std::string suffix)
      : prefix_(std::move(prefix)), suffix_(std::move(suffix)) {}
  const std::string& prefix() const { return prefix_; }
  const std::string& suffix() const { return suffix_; }
  bool matches(std::string_view filename, ItemType itemType) const override;

 private:
  std::string prefix_;
  std::string suffix_;
};

struct UnwantedItemRuleError {
  std::string pattern;
  /// What the regular-expression compiler reported, with the offset in the pattern.
  std::string message;
};

/// A Perl-compatible regular expression (PCRE2) matched against the bytes of the name. A match
/// anywhere in the name counts: patterns anchor themselves with "^" and "$" where they must.
/// Matching uses a bounded amount of work and memory whatever the name; a name that exhausts
/// the bound does not match.
class UnwantedItemRegexRule final : public UnwantedItemRule {
 public:
  /// Compiles `pattern`; `caseInsensitive` compiles it caseless.
  static std::expected<std::shared_ptr<UnwantedItemRegexRule>, UnwantedItemRuleError> make(
      std::string pattern, bool caseInsensitive);
  ~UnwantedItemRegexRule() override;
  const std::string& regex() const { return pattern_; }
  bool matches(std::string_view filename, ItemType itemType) const override;

  struct Compiled;

 private:
  UnwantedItemRegexRule(std::string pattern, std::unique_ptr<Compiled> compiled);
  std::string pattern_;
  std::unique_ptr<Compiled> compiled_;
};

/// Applies `actualRule` only to items of `itemTypes`.
class UnwantedItemTypeFilterRule final : public UnwantedItemRule {
 public:
  UnwantedItemTypeFilterRule(std::shared_ptr<const UnwantedItemRule> actualRule,
                             UnwantedItemTypes itemTypes)
      : actualRule_(std::move(actualRule)), itemTypes_(itemTypes) {}
  const std::shared_ptr<const UnwantedItemRule>& actualRule() const { return actualRule_; }
  UnwantedItemTypes itemTypes() const { return itemTypes_; }
  bool matches(std::string_view filename, ItemType itemType) const override {
    return itemTypes_.contains(itemType) && actualRule_->matches(filename, itemType);
  }

 private:
  std::shared_ptr<const UnwantedItemRule> actualRule_;
  UnwantedItemTypes itemTypes_;
};

/// An ordered list of rules; a name matches when any rule matches it.
class UnwantedItemRuleList {
 public:
  const std::vector<std::shared_ptr<const UnwantedItemRule>>& rules() const { return rules_; }
  void append(std::shared_ptr<const UnwantedItemRule> rule) { rules_.push_back(std::move(rule)); }
  bool matches(std::string_view filename, ItemType itemType) const;

 private:
  std::vector<std::shared_ptr<const UnwantedItemRule>> rules_;
};

class UnwantedItemRules {
 public:
  /// The built-in list for local names (42 rules, all case-insensitive).
  static const UnwantedItemRules& defaultRules();
  /// The list for names that come from the cloud: names no local folder can hold ("", ".",
  /// "..", names with "/" or a NUL byte) and other systems' metadata and lock files, which
  /// would mislead applications here.
  static const UnwantedItemRules& cloudFSRules();

  const UnwantedItemRuleList& caseSensitiveRules() const { return caseSensitiveRules_; }
  const UnwantedItemRuleList& caseInsensitiveRules() const { return caseInsensitiveRules_; }

  bool matches(std::string_view filename, ItemType itemType) const;

  /// Each appends one rule to the case-insensitive list (its text lower-cased) or to the
  /// case-sensitive one. Item types other than `both` wrap the rule in a type filter.
  void addRulePrefix(std::string prefix, bool caseInsensitive,
                     UnwantedItemTypes itemTypes = UnwantedItemTypes::both()) {
    addStringRule(std::move(prefix), UnwantedItemStringRule::Variant::prefix, caseInsensitive,
                  itemTypes);
  }
  void addRuleSuffix(std::string suffix, bool caseInsensitive,
                     UnwantedItemTypes itemTypes = UnwantedItemTypes::both()) {
    addStringRule(std::move(suffix), UnwantedItemStringRule::Variant::suffix, caseInsensitive,
                  itemTypes);
  }
  void addRuleBasenameSuffix(std::string suffix, bool caseInsensitive,
                             UnwantedItemTypes itemTypes = UnwantedItemTypes::both()) {
    addStringRule(std::move(suffix), UnwantedItemStringRule::Variant::basenameSuffix,
                  caseInsensitive, itemTypes);
  }
  void addRuleSubstring(std::string substring, bool caseInsensitive,
                        UnwantedItemTypes itemTypes = UnwantedItemTypes::both()) {
    addStringRule(std::move(substring), UnwantedItemStringRule::Variant::substring, caseInsensitive,
                  itemTypes);
  }
  void addRuleExact(std::string exact, bool caseInsensitive,
                    UnwantedItemTypes itemTypes = UnwantedItemTypes::both()) {
    addStringRule(std::move(exact), UnwantedItemStringRule::Variant::exact, caseInsensitive,
                  itemTypes);
  }
  void addRulePrefixAndSuffix(std::string prefix, std::string suffix, bool caseInsensitive,
                              UnwantedItemTypes itemTypes = UnwantedItemTypes::both());
  /// Fails, adding nothing, when the pattern does not compile.
  std::expected<void, UnwantedItemRuleError> addRuleRegex(
      std::string regex, bool caseInsensitive,
      UnwantedItemTypes itemTypes = UnwantedItemTypes::both());

  void addStringRule(std::string text, UnwantedItemStringRule::Variant variant,
                     bool caseInsensitive, UnwantedItemTypes itemTypes);

 private:
  void append(std::shared_ptr<const UnwantedItemRule> rule, bool caseInsensitive,
              UnwantedItemTypes itemTypes);

  UnwantedItemRuleList caseSensitiveRules_;
  UnwantedItemRuleList caseInsensitiveRules_;
};

/// `text` with its ASCII letters lower-cased; other bytes (UTF-8 sequences) unchanged.
std::string lowercasedASCII(std::string_view text);

}  // namespace tarnix::common
