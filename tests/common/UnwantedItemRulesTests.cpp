#include "common/UnwantedItemRules.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tarnix::common;

namespace {

struct NameCase {
  std::string name;
  ItemType type;
  bool unwanted;
};

std::string describe(const NameCase& c) {
  std::string printable;
  for (char ch : c.name) printable += ch == '\0' ? std::string("\\0") : std::string(1, ch);
  return "\"" + printable + "\" as " + (c.type == ItemType::folder ? "folder" : "file");
}

void expectCases(const UnwantedItemRules& rules, const std::vector<NameCase>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(rules.matches(c.name, c.type), c.unwanted) << describe(c);
  }
}

constexpr auto kFile = ItemType::file;
constexpr auto kFolder = ItemType::folder;

TEST(UnwantedItemRulesTest, DefaultRulesJudgeNames) {
  expectCases(UnwantedItemRules::defaultRules(),
              {
                  // Exact names, in any case, and nothing around them.
                  {".DS_Store", kFile, true},
                  {".ds_store", kFolder, true},
                  {"x.DS_Store", kFile, false},
                  {".DS_Store.bak", kFile, false},
                  {"Thumbs.db", kFile, true},
                  {"thumbs.db.txt", kFile, false},
                  {"PowerPoint Temp", kFolder, true},
                  {"Desktop.ini", kFile, true},
                  {".metadata_never_index", kFile, true},
                  // Prefixes.
                  {"._report.pdf", kFile, true},
                  {".~lock.budget.ods#", kFile, true},
                  {"Word Work File L_1234.tmp", kFile, true},
                  {"_QVZ_.x", kFile, true},
                  {".smbdelete0001", kFile, true},
                  {"report._", kFile, false},
                  // Suffixes.
                  {"a._attribs_", kFile, true},
                  {"b._rights_", kFile, true},
                  {"c._qvz_", kFile, true},
                  {"d_qvzmeta", kFile, true},
                  {"Setup.TMP", kFile, true},
                  {"tmp", kFile, false},
                  {"x.tmp.txt", kFile, false},
                  {"volume-spotlight", kFolder, true},
                  {"drawing.ac$", kFile, true},
                  {"drawing.sv$", kFile, true},
                  {"install.$$$", kFile, true},
                  {"plan.~vsdx", kFile, true},
                  // Prefix and suffix: both ends, not overlapping.
                  {"~budget.xlsx", kFile, true},
                  {"~budget.xlsx (deleted)", kFile, true},
                  {"budget.xlsx", kFile, false},
                  {"~slides.pptx", kFile, true},
                  {"~photo.idlk", kFile, true},
                  {"~$template.dotx", kFile, true},
                  {"~$letter.rtf", kFile, true},
                  {"~$part.SLDPRT", kFile, true},
                  {"~$asm.sldasm", kFile, true},
                  {"~$x.sldlfp", kFile, true},
                  {"~$draw.slddrw", kFile, true},
                  {"AdobeFnt11.lst", kFile, true},
                  {"adobefnt.lst", kFile, true},
                  {"AdobeFnt.txt", kFile, false},
                  // Regular expressions, with their anchors.
                  {"~$report.docx", kFile, true},
                  {"~$report.doc", kFile, true},
                  {"~$slides.ppt", kFile, true},
                  {"~$macro.xlsm", kFile, true},
                  {"~$report.docx (deleted)", kFile, true},
                  {"~$report.docx.bak", kFile, false},
                  {"x~$report.docx", kFile, false},
                  {"ATMP1a2b", kFile, true},
                  {"atmp1a2b3c4d", kFile, true},
                  {"atmp1a2b3", kFile, false},
                  {"atmp1a2b3c4d5", kFile, false},
                  {"data.sas.b01", kFile, true},
                  {"data.sas.b1", kFile, false},
                  {"aaz12345", kFile, true},
                  {"aaz123456", kFile, false},
                  {"aa12345", kFile, false},
                  {"InDesign-fil123-12345", kFile, true},
                  {"my InDesign-fil1234567890", kFile, true},
                  {"indesign-fil12-12345", kFile, false},
                  {"Untitled-1.i123-12345", kFile, true},
                  {"untitled-1.i12-12345", kFile, false},
                  // Basename suffix: the name, or the name without its extension, ends in "~".
                  {"notes~", kFile, true},
                  {"notes.txt~", kFile, true},
                  {"report~.docx", kFile, true},
                  {"~", kFile, true},
                  {"~notes", kFile, false},
                  {"notes.~txt", kFile, false},
                  // Restricted to folders.
                  {".Spotlight-V100", kFolder, true},
                  {".Spotlight-V100", kFile, false},
                  {".data", kFolder, true},
                  {".DATA", kFolder, true},
                  {".data", kFile, false},
                  // Ordinary names stay.
                  {"Report.docx", kFile, false},
                  {"Photos", kFolder, false},
                  {".bashrc", kFile, false},
                  {"", kFile, false},
                  {"Ünïcödé ~ name.txt", kFile, false},
              });
}

TEST(UnwantedItemRulesTest, DefaultListHasItsFortyTwoRulesInOrder) {
  const auto& rules = UnwantedItemRules::defaultRules();
  EXPECT_TRUE(rules.caseSensitiveRules().rules().empty());
  const auto& list = rules.caseInsensitiveRules().rules();
  ASSERT_EQ(list.size(), 42u);

  using V = UnwantedItemStringRule::Variant;
  auto stringRule = [&](size_t number) {
    return dynamic_cast<const UnwantedItemStringRule*>(list[number - 1].get());
  };
  auto pairRule = [&](size_t number) {
    return dynamic_cast<const UnwantedItemPrefixAndSuffixRule*>(list[number - 1].get());
  };
  auto regexRule = [&](size_t number) {
    return dynamic_cast<const UnwantedItemRegexRule*>(list[number - 1].get());
  };
  for (size_t n = 1; n <= 40; ++n) {
    if (n <= 20 || n == 40) {
      EXPECT_NE(stringRule(n), nullptr) << "rule " << n;
    } else if (n <= 33) {
      EXPECT_NE(pairRule(n), nullptr) << "rule " << n;
    } else {
      EXPECT_NE(regexRule(n), nullptr) << "rule " << n;
    }
  }
  EXPECT_EQ(stringRule(1)->string(), ".ds_store");
  EXPECT_EQ(stringRule(5)->variant(), V::exact);
  EXPECT_EQ(stringRule(6)->variant(), V::prefix);
  EXPECT_EQ(stringRule(8)->string(), "word work file");
  EXPECT_EQ(stringRule(11)->variant(), V::suffix);
  EXPECT_EQ(stringRule(20)->string(), ".~vsdx");
  EXPECT_EQ(pairRule(28)->suffix(), ".sldlfp");
  EXPECT_EQ(pairRule(31)->suffix(), ".sldlfp");
  EXPECT_EQ(pairRule(33)->prefix(), "adobefnt");
  EXPECT_EQ(regexRule(34)->regex(), R"(^~\$.*\.(docx?|pptx?|xlsm)(\s\(deleted\))?$)");
  EXPECT_EQ(regexRule(39)->regex(), R"(untitled-\d+\.i\d{3,}-\d{5,}$)");
  EXPECT_EQ(stringRule(40)->variant(), V::basenameSuffix);
  for (size_t n : {41u, 42u}) {
    auto filter = dynamic_cast<const UnwantedItemTypeFilterRule*>(list[n - 1].get());
    ASSERT_NE(filter, nullptr) << n;
    EXPECT_EQ(filter->itemTypes(), UnwantedItemTypes::folder());
  }
}

TEST(UnwantedItemRulesTest, CloudRulesRejectNamesNoFolderCanHoldAndForeignLockFiles) {
  expectCases(
      UnwantedItemRules::cloudFSRules(),
      {
          {"", kFile, true},
          {".", kFolder, true},
          {"..", kFolder, true},
          {"...", kFile, false},
          {"a/b", kFile, true},
          {"/", kFolder, true},
          {std::string("a\0b", 3), kFile, true},
          {".DS_Store", kFile, true},
          {"._photo.jpg", kFile, true},
          {".~lock.budget.ods#", kFile, true},
          {"~$report.docx", kFile, true},
          {"~$Budget.XLSX", kFile, true},
          // Names that only the local rules reject stay visible when they come from the cloud.
          {"~$notes.txt", kFile, false},
          {"Thumbs.db", kFile, false},
          {"setup.tmp", kFile, false},
          {"Report.docx", kFile, false},
      });
}

TEST(UnwantedItemRulesTest, ListsKeepTheirCaseAndTypeRestrictions) {
  UnwantedItemRules rules;
  rules.addRuleExact("Exact", false);
  rules.addRulePrefix("PRE", true);
  rules.addRuleSuffix(".Bak", true, UnwantedItemTypes::file());
  rules.addRuleSubstring("Mid", false, UnwantedItemTypes::folder());
  rules.addRulePrefixAndSuffix("ab", "ba", false);
  ASSERT_TRUE(rules.addRuleRegex(R"(^\D{4,}\d$)", true));
  ASSERT_TRUE(rules.addRuleRegex(R"(^X\d$)", false));

  expectCases(rules, {
                         {"Exact", kFile, true},
                         {"exact", kFile, false},
                         {"prefix", kFile, true},
                         {"PreFix", kFolder, true},
                         {"old.BAK", kFile, true},
                         {"old.bak", kFolder, false},
                         {"aMidb", kFolder, true},
                         {"amidb", kFolder, false},
                         {"aMidb", kFile, false},
                         {"abba", kFile, true},
                         {"aba", kFile, false},   // prefix and suffix would overlap
                         {"Name7", kFile, true},  // "\D" survives the case-insensitive list
                         {"1234", kFile, false},
                         {"X1", kFile, true},
                         {"x1", kFile, false},
                     });
}

TEST(UnwantedItemRulesTest, EmptyTextsHideNothingButTheEmptyName) {
  UnwantedItemRules rules;
  rules.addRulePrefix("", true);
  rules.addRuleSuffix("", true);
  rules.addRuleSubstring("", false);
  rules.addRuleBasenameSuffix("", false);
  EXPECT_FALSE(rules.matches("anything", kFile));
  rules.addRuleExact("", false);
  EXPECT_TRUE(rules.matches("", kFile));
  EXPECT_FALSE(rules.matches("anything", kFile));
}

TEST(UnwantedItemRulesTest, BadPatternIsAnErrorAndAddsNothing) {
  UnwantedItemRules rules;
  auto added = rules.addRuleRegex("(unclosed", true);
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().pattern, "(unclosed");
  EXPECT_FALSE(added.error().message.empty());
  EXPECT_TRUE(rules.caseInsensitiveRules().rules().empty());
}

TEST(UnwantedItemRulesTest, HugeAndBinaryNamesAreJudgedWithoutHarm) {
  const auto& rules = UnwantedItemRules::defaultRules();
  const std::string huge(1 << 20, 'a');
  EXPECT_FALSE(rules.matches(huge, kFile));
  EXPECT_TRUE(rules.matches(huge + ".sas.b12", kFile));
  EXPECT_TRUE(rules.matches("~$" + huge + ".docx", kFile));
  EXPECT_FALSE(rules.matches("~$" + huge + ".docz", kFile));
  EXPECT_FALSE(rules.matches(std::string("\xff\xfe\0\x80", 4), kFile));
  // A pattern that backtracks without bound gives up instead of hanging.
  UnwantedItemRules greedy;
  ASSERT_TRUE(greedy.addRuleRegex("^(a+)+$", false));
  EXPECT_FALSE(greedy.matches(std::string(64, 'a') + "b", kFile));
}

}  // namespace
