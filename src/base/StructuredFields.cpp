#include "base/StructuredFields.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

#include "base/Hash.hpp"
#include "base/UTF8.hpp"

namespace tarnix::base::sf {
namespace {

constexpr std::int64_t kMaxInteger = 999'999'999'999'999;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isLowerAlpha(char c) {
  return c >= 'a' && c <= 'z';
}
bool isAlpha(char c) {
  return isLowerAlpha(c) || (c >= 'A' && c <= 'Z');
}
bool isLowerHex(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f');
}

// tchar of RFC 9110.
bool isTChar(char c) {
  if (isAlpha(c) || isDigit(c)) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}
bool isKeyStart(char c) {
  return isLowerAlpha(c) || c == '*';
}
bool isKeyChar(char c) {
  return isLowerAlpha(c) || isDigit(c) || c == '_' || c == '-' || c == '.' || c == '*';
}
bool isBase64Char(char c) {
  return isAlpha(c) || isDigit(c) || c == '+' || c == '/' || c == '=';
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  template <class T>
  using Result = std::expected<T, StructuredFieldError>;

  Result<Item> topLevelItem() {
    skipSpaces();
    auto item = parseItem();
    if (!item) return item;
    if (auto end = finish(); !end) return std::unexpected(end.error());
    return item;
  }

  Result<List> topLevelList() {
    skipSpaces();
    List members;
    while (!atEnd()) {
      auto member = parseItemOrInnerList();
      if (!member) return std::unexpected(member.error());
      members.push_back(std::move(*member));
      if (auto separator = listSeparator(); !separator) return std::unexpected(separator.error());
    }
    return members;
  }

  Result<Dictionary> topLevelDictionary() {
    skipSpaces();
    Dictionary members;
    while (!atEnd()) {
      auto key = parseKey();
      if (!key) return std::unexpected(key.error());
      ListMember member;
      if (peek() == '=') {
        ++pos_;
        auto value = parseItemOrInnerList();
        if (!value) return std::unexpected(value.error());
        member = std::move(*value);
      } else {
        auto parameters = parseParameters();
        if (!parameters) return std::unexpected(parameters.error());
        member = Item{true, std::move(*parameters)};
      }
      insertOrReplace(members, std::move(*key), std::move(member));
      if (auto separator = listSeparator(); !separator) return std::unexpected(separator.error());
    }
    return members;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }
  void skipSpaces() {
    while (!atEnd() && text_[pos_] == ' ') ++pos_;
  }
  void skipOWS() {
    while (!atEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  std::unexpected<StructuredFieldError> fail(std::string message) const {
    return std::unexpected(StructuredFieldError{std::move(message), pos_});
  }

  Result<void> finish() {
    skipSpaces();
    if (!atEnd()) return fail("Unexpected characters after the value");
    return {};
  }

  // After a list or dictionary member: the end, or a comma followed by another member.
  Result<void> listSeparator() {
    skipOWS();
    if (atEnd()) return {};
    if (text_[pos_] != ',') return fail("Expected ',' between members");
    ++pos_;
    skipOWS();
    if (atEnd()) return fail("Trailing ',' after the last member");
    return {};
  }

  template <class Map, class Value>
  static void insertOrReplace(Map& map, std::string key, Value value) {
    for (auto& [existing, current] : map) {
      if (existing == key) {
        current = std::move(value);
        return;
      }
    }
    map.emplace_back(std::move(key), std::move(value));
  }

  Result<ListMember> parseItemOrInnerList() {
    if (peek() == '(') {
      auto inner = parseInnerList();
      if (!inner) return std::unexpected(inner.error());
      return ListMember{std::move(*inner)};
    }
    auto item = parseItem();
    if (!item) return std::unexpected(item.error());
    return ListMember{std::move(*item)};
  }

  Result<InnerList> parseInnerList() {
    ++pos_;  // '('
    InnerList list;
    while (!atEnd()) {
      skipSpaces();
      if (peek() == ')') {
        ++pos_;
        auto parameters = parseParameters();
        if (!parameters) return std::unexpected(parameters.error());
        list.parameters = std::move(*parameters);
        return list;
      }
      auto item = parseItem();
      if (!item) return std::unexpected(item.error());
      list.items.push_back(std::move(*item));
      if (peek() != ' ' && peek() != ')') return fail("Expected ' ' or ')' in inner list");
    }
    return fail("Inner list without ')'");
  }

  Result<Item> parseItem() {
    auto value = parseBareItem();
    if (!value) return std::unexpected(value.error());
    auto parameters = parseParameters();
    if (!parameters) return std::unexpected(parameters.error());
    return Item{std::move(*value), std::move(*parameters)};
  }

  Result<Parameters> parseParameters() {
    Parameters parameters;
    while (peek() == ';') {
      ++pos_;
      skipSpaces();
      auto key = parseKey();
      if (!key) return std::unexpected(key.error());
      BareItem value = true;
      if (peek() == '=') {
        ++pos_;
        auto bare = parseBareItem();
        if (!bare) return std::unexpected(bare.error());
        value = std::move(*bare);
      }
      insertOrReplace(parameters, std::move(*key), std::move(value));
    }
    return parameters;
  }

  Result<std::string> parseKey() {
    if (!isKeyStart(peek())) return fail("Expected a key");
    std::size_t start = pos_;
    while (!atEnd() && isKeyChar(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  Result<BareItem> parseBareItem() {
    char c = peek();
    if (c == '-' || isDigit(c)) return parseNumber();
    if (c == '"') return parseString();
    if (c == ':') return parseByteSequence();
    if (c == '?') return parseBoolean();
    if (isAlpha(c) || c == '*') return parseToken();
    if (c == '@') return parseDate();
    if (c == '%') return parseDisplayString();
    return fail(atEnd() ? "Expected a value" : "Unexpected character at the start of a value");
  }

  Result<BareItem> parseNumber() {
    bool negative = false;
    if (peek() == '-') {
      negative = true;
      ++pos_;
    }
    if (!isDigit(peek())) return fail("Expected a digit");
    std::size_t start = pos_;
    std::optional<std::size_t> dot;
    while (!atEnd()) {
      char c = text_[pos_];
      if (isDigit(c)) {
        ++pos_;
      } else if (c == '.' && !dot) {
        if (pos_ - start > 12) return fail("Decimal with more than 12 integer digits");
        dot = pos_;
        ++pos_;
      } else {
        break;
      }
      std::size_t length = pos_ - start;
      if (!dot && length > 15) return fail("Integer with more than 15 digits");
      if (dot && length > 16) return fail("Decimal with more than 16 characters");
    }
    std::string_view digits = text_.substr(start, pos_ - start);
    if (!dot) {
      std::int64_t value = 0;
      for (char c : digits) value = value * 10 + (c - '0');
      return BareItem{negative ? -value : value};
    }
    std::size_t fraction = pos_ - *dot - 1;
    if (fraction == 0) return fail("Decimal ending in '.'");
    if (fraction > 3) return fail("Decimal with more than 3 fractional digits");
    double value = 0;
    for (char c : digits.substr(0, *dot - start)) value = value * 10 + (c - '0');
    double scale = 1;
    std::int64_t fractional = 0;
    for (char c : digits.substr(*dot - start + 1)) {
      fractional = fractional * 10 + (c - '0');
      scale *= 10;
    }
    value += static_cast<double>(fractional) / scale;
    return BareItem{Decimal{negative ? -value : value}};
  }

  Result<BareItem> parseString() {
    ++pos_;  // '"'
    std::string value;
    while (!atEnd()) {
      char c = text_[pos_++];
      if (c == '\\') {
        if (atEnd()) return fail("String ending in '\\'");
        char escaped = text_[pos_++];
        if (escaped != '"' && escaped != '\\') return fail("Invalid escape in string");
        value.push_back(escaped);
      } else if (c == '"') {
        return BareItem{std::move(value)};
      } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
        return fail("Character not allowed in string");
      } else {
        value.push_back(c);
      }
    }
    return fail("String without closing '\"'");
  }

  Result<BareItem> parseToken() {
    std::size_t start = pos_++;
    while (!atEnd() && (isTChar(text_[pos_]) || text_[pos_] == ':' || text_[pos_] == '/')) ++pos_;
    return BareItem{Token{std::string(text_.substr(start, pos_ - start))}};
  }

  Result<BareItem> parseByteSequence() {
    ++pos_;  // ':'
    auto close = text_.find(':', pos_);
    if (close == std::string_view::npos) return fail("Byte sequence without closing ':'");
    std::string encoded(text_.substr(pos_, close - pos_));
    for (char c : encoded) {
      if (!isBase64Char(c)) return fail("Character not allowed in byte sequence");
    }
    // '=' only as padding at the end; missing padding is tolerated.
    auto firstPad = encoded.find('=');
    if (firstPad != std::string::npos) {
      if (encoded.find_first_not_of('=', firstPad) != std::string::npos ||
          encoded.size() - firstPad > 2 || encoded.size() % 4 != 0) {
        return fail("Invalid padding in byte sequence");
      }
    } else {
      while (encoded.size() % 4 != 0) encoded.push_back('=');
    }
    auto bytes = base64Decode(encoded);
    if (!bytes) return fail("Invalid base64 in byte sequence");
    pos_ = close + 1;
    return BareItem{ByteSequence{std::move(*bytes)}};
  }

  Result<BareItem> parseBoolean() {
    ++pos_;  // '?'
    char c = peek();
    if (c != '0' && c != '1') return fail("Boolean must be ?0 or ?1");
    ++pos_;
    return BareItem{c == '1'};
  }

  Result<BareItem> parseDate() {
    ++pos_;  // '@'
    auto number = parseNumber();
    if (!number) return number;
    auto* seconds = std::get_if<std::int64_t>(&*number);
    if (!seconds) return fail("Date must be an integer");
    return BareItem{SFDate{*seconds}};
  }

  Result<BareItem> parseDisplayString() {
    ++pos_;  // '%'
    if (peek() != '"') return fail("Expected '\"' after '%'");
    ++pos_;
    std::string bytes;
    while (!atEnd()) {
      char c = text_[pos_++];
      auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u >= 0x7F) return fail("Character not allowed in display string");
      if (c == '%') {
        if (pos_ + 2 > text_.size() || !isLowerHex(text_[pos_]) || !isLowerHex(text_[pos_ + 1])) {
          return fail("Invalid percent escape in display string");
        }
        auto hex = [](char h) { return isDigit(h) ? h - '0' : h - 'a' + 10; };
        bytes.push_back(static_cast<char>(hex(text_[pos_]) * 16 + hex(text_[pos_ + 1])));
        pos_ += 2;
      } else if (c == '"') {
        if (!isValidUTF8(bytes)) return fail("Display string is not UTF-8");
        return BareItem{DisplayString{std::move(bytes)}};
      } else {
        bytes.push_back(c);
      }
    }
    return fail("Display string without closing '\"'");
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// --- serialisation ---

using Out = std::expected<void, StructuredFieldError>;

std::unexpected<StructuredFieldError> serializationError(std::string message) {
  return std::unexpected(StructuredFieldError{std::move(message), 0});
}

Out writeInteger(std::int64_t value, std::string& out) {
  if (value > kMaxInteger || value < -kMaxInteger)
    return serializationError("Integer out of range");
  out += std::to_string(value);
  return {};
}

Out writeDecimal(double value, std::string& out) {
  if (!std::isfinite(value)) return serializationError("Decimal is not finite");
  // Round half to even at three fractional digits.
  double rounded = std::nearbyint(value * 1000.0) / 1000.0;
  if (std::fabs(rounded) >= 1e12) return serializationError("Decimal with more than 12 digits");
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", rounded);
  std::string text(buffer);
  while (text.back() == '0' && text[text.size() - 2] != '.') text.pop_back();
  if (text == "-0.0") text = "0.0";
  out += text;
  return {};
}

Out writeString(const std::string& value, std::string& out) {
  out.push_back('"');
  for (char c : value) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) return serializationError("Character not allowed in string");
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return {};
}

Out writeToken(const std::string& value, std::string& out) {
  if (value.empty() || !(isAlpha(value[0]) || value[0] == '*')) {
    return serializationError("Invalid token");
  }
  for (char c : value) {
    if (!isTChar(c) && c != ':' && c != '/') return serializationError("Invalid token");
  }
  out += value;
  return {};
}

Out writeDisplayString(const std::string& value, std::string& out) {
  if (!isValidUTF8(value)) return serializationError("Display string is not UTF-8");
  static constexpr char kHex[] = "0123456789abcdef";
  out += "%\"";
  for (char c : value) {
    auto u = static_cast<unsigned char>(c);
    if (c == '%' || c == '"' || u < 0x20 || u >= 0x7F) {
      out.push_back('%');
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return {};
}

Out writeBareItem(const BareItem& item, std::string& out) {
  struct Visitor {
    std::string& out;
    Out operator()(std::int64_t v) const { return writeInteger(v, out); }
    Out operator()(const Decimal& v) const { return writeDecimal(v.value, out); }
    Out operator()(const std::string& v) const { return writeString(v, out); }
    Out operator()(const Token& v) const { return writeToken(v.value, out); }
    Out operator()(const ByteSequence& v) const {
      out += ':' +
             base64Encode(
                 std::string_view(reinterpret_cast<const char*>(v.bytes.data()), v.bytes.size())) +
             ':';
      return {};
    }
    Out operator()(bool v) const {
      out += v ? "?1" : "?0";
      return {};
    }
    Out operator()(const SFDate& v) const {
      out.push_back('@');
      return writeInteger(v.secondsSince1970, out);
    }
    Out operator()(const DisplayString& v) const { return writeDisplayString(v.value, out); }
  };
  return std::visit(Visitor{out}, item);
}

Out writeKey(const std::string& key, std::string& out) {
  if (key.empty() || !isKeyStart(key[0])) return serializationError("Invalid key");
  for (char c : key) {
    if (!isKeyChar(c)) return serializationError("Invalid key");
  }
  out += key;
  return {};
}

bool isTrue(const BareItem& value) {
  auto* flag = std::get_if<bool>(&value);
  return flag && *flag;
}

Out writeParameters(const Parameters& parameters, std::string& out) {
  for (const auto& [key, value] : parameters) {
    out.push_back(';');
    if (auto r = writeKey(key, out); !r) return r;
    if (isTrue(value)) continue;
    out.push_back('=');
    if (auto r = writeBareItem(value, out); !r) return r;
  }
  return {};
}

Out writeItem(const Item& item, std::string& out) {
  if (auto r = writeBareItem(item.value, out); !r) return r;
  return writeParameters(item.parameters, out);
}

Out writeMember(const ListMember& member, std::string& out) {
  if (auto* item = std::get_if<Item>(&member)) return writeItem(*item, out);
  const auto& inner = std::get<InnerList>(member);
  out.push_back('(');
  for (std::size_t i = 0; i < inner.items.size(); ++i) {
    if (i > 0) out.push_back(' ');
    if (auto r = writeItem(inner.items[i], out); !r) return r;
  }
  out.push_back(')');
  return writeParameters(inner.parameters, out);
}

}  // namespace

std::expected<Item, StructuredFieldError> parseItem(std::string_view text) {
  return Parser(text).topLevelItem();
}

std::expected<List, StructuredFieldError> parseList(std::string_view text) {
  return Parser(text).topLevelList();
}

std::expected<Dictionary, StructuredFieldError> parseDictionary(std::string_view text) {
  return Parser(text).topLevelDictionary();
}

std::expected<std::string, StructuredFieldError> serializeItem(const Item& item) {
  std::string out;
  if (auto r = writeItem(item, out); !r) return std::unexpected(r.error());
  return out;
}

std::expected<std::string, StructuredFieldError> serializeList(const List& list) {
  std::string out;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ", ";
    if (auto r = writeMember(list[i], out); !r) return std::unexpected(r.error());
  }
  return out;
}

std::expected<std::string, StructuredFieldError> serializeDictionary(const Dictionary& dictionary) {
  std::string out;
  for (std::size_t i = 0; i < dictionary.size(); ++i) {
    if (i > 0) out += ", ";
    const auto& [key, member] = dictionary[i];
    if (auto r = writeKey(key, out); !r) return std::unexpected(r.error());
    auto* item = std::get_if<Item>(&member);
    if (item && isTrue(item->value)) {
      if (auto r = writeParameters(item->parameters, out); !r) return std::unexpected(r.error());
      continue;
    }
    out.push_back('=');
    if (auto r = writeMember(member, out); !r) return std::unexpected(r.error());
  }
  return out;
}

const ListMember* find(const Dictionary& dictionary, std::string_view key) {
  for (const auto& [name, member] : dictionary) {
    if (name == key) return &member;
  }
  return nullptr;
}

const BareItem* find(const Parameters& parameters, std::string_view key) {
  for (const auto& [name, value] : parameters) {
    if (name == key) return &value;
  }
  return nullptr;
}

}  // namespace tarnix::base::sf
