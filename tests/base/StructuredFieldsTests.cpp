// Structured field values: the public conformance suite (every JSON file of the folder named by
// SF_TESTS_DIR, by default ../shared/testdata/structured-field-tests beside the source tree) and
// the cases the cloud client relies on.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/JSONValue.hpp"
#include "base/StructuredFields.hpp"
#include "support/TempDir.hpp"

namespace sf = tarnix::base::sf;
using tarnix::base::JSONValue;

namespace {

std::string base32(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (auto byte : bytes) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      out.push_back(kAlphabet[(buffer >> (bits - 5)) & 0x1F]);
      bits -= 5;
    }
  }
  if (bits > 0) out.push_back(kAlphabet[(buffer << (5 - bits)) & 0x1F]);
  while (out.size() % 8 != 0) out.push_back('=');
  return out;
}

JSONValue typed(const char* type, JSONValue value) {
  JSONValue object = JSONValue::object();
  object["__type"] = type;
  object["value"] = std::move(value);
  return object;
}

JSONValue toJSON(const sf::BareItem& value) {
  struct Visitor {
    JSONValue operator()(std::int64_t v) const { return v; }
    JSONValue operator()(const sf::Decimal& v) const { return v.value; }
    JSONValue operator()(const std::string& v) const { return v; }
    JSONValue operator()(const sf::Token& v) const { return typed("token", v.value); }
    JSONValue operator()(const sf::ByteSequence& v) const {
      return typed("binary", base32(v.bytes));
    }
    JSONValue operator()(bool v) const { return v; }
    JSONValue operator()(const sf::SFDate& v) const { return typed("date", v.secondsSince1970); }
    JSONValue operator()(const sf::DisplayString& v) const {
      return typed("displaystring", v.value);
    }
  };
  return std::visit(Visitor{}, value);
}

JSONValue toJSON(const sf::Parameters& parameters) {
  JSONValue out = JSONValue::array();
  for (const auto& [key, value] : parameters) out.push_back(JSONValue::array({key, toJSON(value)}));
  return out;
}

JSONValue toJSON(const sf::Item& item) {
  return JSONValue::array({toJSON(item.value), toJSON(item.parameters)});
}

JSONValue toJSON(const sf::ListMember& member) {
  if (auto* item = std::get_if<sf::Item>(&member)) return toJSON(*item);
  const auto& inner = std::get<sf::InnerList>(member);
  JSONValue items = JSONValue::array();
  for (const auto& item : inner.items) items.push_back(toJSON(item));
  return JSONValue::array({items, toJSON(inner.parameters)});
}

// Equal structure, where a decimal equals the expected number within rounding and an integer
// must be an integer.
bool sameStructure(const JSONValue& actual, const JSONValue& expected) {
  if (expected.is_number_float()) {
    return actual.is_number_float() &&
           std::fabs(actual.get<double>() - expected.get<double>()) < 1e-9;
  }
  if (expected.is_number_integer()) {
    return actual.is_number_integer() && actual.get<std::int64_t>() == expected.get<std::int64_t>();
  }
  if (expected.is_array()) {
    if (!actual.is_array() || actual.size() != expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (!sameStructure(actual[i], expected[i])) return false;
    }
    return true;
  }
  if (expected.is_object()) {
    if (!actual.is_object() || actual.size() != expected.size()) return false;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
      if (!actual.contains(it.key()) || !sameStructure(actual[it.key()], it.value())) return false;
    }
    return true;
  }
  return actual == expected;
}

struct Outcome {
  std::optional<JSONValue> structure;  // none when parsing failed
  std::string serialised;
  std::string error;
};

Outcome parseAs(const std::string& headerType, const std::string& text) {
  Outcome outcome;
  auto record = [&](const auto& parsed, auto serialise, auto convert) {
    if (!parsed) {
      outcome.error = parsed.error().message;
      return;
    }
    outcome.structure = convert(*parsed);
    auto text = serialise(*parsed);
    outcome.serialised = text ? *text : "<serialisation failed: " + text.error().message + ">";
  };
  if (headerType == "item") {
    record(sf::parseItem(text), sf::serializeItem, [](const sf::Item& i) { return toJSON(i); });
  } else if (headerType == "list") {
    record(sf::parseList(text), sf::serializeList, [](const sf::List& list) {
      JSONValue out = JSONValue::array();
      for (const auto& member : list) out.push_back(toJSON(member));
      return out;
    });
  } else {
    record(sf::parseDictionary(text), sf::serializeDictionary, [](const sf::Dictionary& dict) {
      JSONValue out = JSONValue::array();
      for (const auto& [key, member] : dict) out.push_back(JSONValue::array({key, toJSON(member)}));
      return out;
    });
  }
  return outcome;
}

std::string joined(const JSONValue& lines) {
  std::string out;
  for (const auto& line : lines) {
    if (!out.empty()) out += ", ";
    out += line.get<std::string>();
  }
  return out;
}

std::filesystem::path suiteFolder() {
  if (const char* dir = std::getenv("SF_TESTS_DIR"); dir && *dir) return dir;
  return tarnix::testing::sourceDir() / ".." / "shared" / "testdata" / "structured-field-tests";
}

void runSuiteFile(const std::filesystem::path& file, int& casesRun) {
  auto document = tarnix::base::parseJSON(tarnix::testing::readFile(file));
  ASSERT_TRUE(document.has_value()) << file << ": " << document.error().message;
  ASSERT_TRUE(document->is_array()) << file;
  for (const auto& test : *document) {
    std::string name = test.value("name", std::string("?"));
    SCOPED_TRACE(file.filename().string() + ": " + name);
    if (!test.contains("raw")) continue;  // serialisation-only records
    ++casesRun;
    bool mustFail = test.value("must_fail", false);
    bool canFail = test.value("can_fail", false);
    auto outcome = parseAs(test.at("header_type").get<std::string>(), joined(test.at("raw")));
    if (mustFail) {
      EXPECT_FALSE(outcome.structure.has_value()) << "parsed although it must fail";
      continue;
    }
    if (!outcome.structure) {
      EXPECT_TRUE(canFail) << "failed: " << outcome.error;
      continue;
    }
    EXPECT_TRUE(sameStructure(*outcome.structure, test.at("expected")))
        << "got " << outcome.structure->dump() << "\nexpected " << test.at("expected").dump();
    const auto& canonical = test.contains("canonical") ? test.at("canonical") : test.at("raw");
    EXPECT_EQ(outcome.serialised, joined(canonical));
  }
}

}  // namespace

TEST(StructuredFieldsTests, PublicConformanceSuite) {
  auto folder = suiteFolder();
  if (!std::filesystem::is_directory(folder)) {
    if (std::getenv("SF_TESTS_DIR")) FAIL() << "SF_TESTS_DIR is not a folder: " << folder;
    GTEST_SKIP() << "No structured-field test suite at " << folder << "; set SF_TESTS_DIR";
  }
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file() && entry.path().extension() == ".json" &&
        entry.path().parent_path().filename() != "schemas" &&
        entry.path().parent_path().filename() != "serialisation-tests") {
      files.push_back(entry.path());
    }
  }
  ASSERT_FALSE(files.empty()) << "No JSON files in " << folder;
  int casesRun = 0;
  for (const auto& file : files) runSuiteFile(file, casesRun);
  EXPECT_GT(casesRun, 0);
}

// Dates and display strings came after the suite's files; headers of newer servers carry them.
TEST(StructuredFieldsTests, DatesAndDisplayStrings) {
  struct Case {
    const char* text;
    std::optional<sf::BareItem> expected;  // none: must fail
  };
  const Case cases[] = {
      {"@1659578233", sf::BareItem{sf::SFDate{1659578233}}},
      {"@-1", sf::BareItem{sf::SFDate{-1}}},
      {"@1.5", std::nullopt},
      {"@", std::nullopt},
      {"%\"f%c3%bc%c3%bc\"", sf::BareItem{sf::DisplayString{"f\xc3\xbc\xc3\xbc"}}},
      {"%\"plain\"", sf::BareItem{sf::DisplayString{"plain"}}},
      {"%\"f%C3%BC\"", std::nullopt},    // upper-case hex
      {"%\"%c3\"", std::nullopt},        // not UTF-8
      {"%\"%ed%a0%80\"", std::nullopt},  // a surrogate
      {"%\"open", std::nullopt},
      {"%plain", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto item = sf::parseItem(c.text);
    if (!c.expected) {
      EXPECT_FALSE(item.has_value());
      continue;
    }
    ASSERT_TRUE(item.has_value()) << item.error().message;
    EXPECT_EQ(item->value, *c.expected);
    auto text = sf::serializeItem(*item);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, c.text);
  }
}

TEST(StructuredFieldsTests, LookupAndUnwritableValues) {
  auto dict = sf::parseDictionary("a=1;x=?0, b=(\"s\" tok);q=1.25, c");
  ASSERT_TRUE(dict.has_value());
  ASSERT_NE(sf::find(*dict, "b"), nullptr);
  const auto& inner = std::get<sf::InnerList>(*sf::find(*dict, "b"));
  EXPECT_EQ(inner.items.size(), 2u);
  ASSERT_NE(sf::find(inner.parameters, "q"), nullptr);
  EXPECT_EQ(std::get<sf::Decimal>(*sf::find(inner.parameters, "q")).value, 1.25);
  EXPECT_EQ(sf::find(*dict, "missing"), nullptr);
  EXPECT_EQ(std::get<sf::Item>(*sf::find(*dict, "c")).value, sf::BareItem{true});

  EXPECT_FALSE(sf::serializeItem({std::int64_t{1'000'000'000'000'000}, {}}).has_value());
  EXPECT_FALSE(sf::serializeItem({std::string("line\nbreak"), {}}).has_value());
  EXPECT_FALSE(sf::serializeItem({sf::Token{"1abc"}, {}}).has_value());
  EXPECT_FALSE(sf::serializeItem({true, {{"Upper", true}}}).has_value());
  EXPECT_FALSE(sf::serializeItem({sf::Decimal{1e13}, {}}).has_value());
  EXPECT_EQ(sf::serializeItem({sf::Decimal{2.0625}, {}}).value_or(""), "2.062");  // half to even
}
