#pragma once
// Structured field values of HTTP headers (RFC 8941): items, lists and dictionaries with their
// parameters, parsed from and serialised to header text.
//
// Besides the bare item types of RFC 8941 (integer, decimal, string, token, byte sequence,
// boolean) the parser reads the date ("@1659578233") and display string ("%\"f%c3%bc\"") items
// that RFC 9651 added, so headers of newer servers parse as well.
//
// Every function here is pure and safe to call from any thread. Parsing never throws: bad
// input gives a StructuredFieldError naming the offset where parsing stopped.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarnix::base::sf {

/// A token: an unquoted identifier such as `gzip` or `*/*`.
struct Token {
  std::string value;
  bool operator==(const Token&) const = default;
};

/// A byte sequence (base64 between colons on the wire).
struct ByteSequence {
  std::vector<std::uint8_t> bytes;
  bool operator==(const ByteSequence&) const = default;
};

/// A date in whole seconds since 1970 (RFC 9651).
struct SFDate {
  std::int64_t secondsSince1970 = 0;
  bool operator==(const SFDate&) const = default;
};

/// A Unicode string (RFC 9651), held as UTF-8.
struct DisplayString {
  std::string value;
  bool operator==(const DisplayString&) const = default;
};

/// A decimal: up to 12 integer and 3 fractional digits on the wire.
struct Decimal {
  double value = 0;
  bool operator==(const Decimal&) const = default;
};

/// Integer, decimal, string, token, byte sequence, boolean, date or display string.
using BareItem = std::variant<std::int64_t, Decimal, std::string, Token, ByteSequence, bool, SFDate,
                              DisplayString>;

/// Keys in the order first seen; a repeated key replaces the value in place.
using Parameters = std::vector<std::pair<std::string, BareItem>>;

struct Item {
  BareItem value;
  Parameters parameters;
  bool operator==(const Item&) const = default;
};

struct InnerList {
  std::vector<Item> items;
  Parameters parameters;
  bool operator==(const InnerList&) const = default;
};

using ListMember = std::variant<Item, InnerList>;
using List = std::vector<ListMember>;
/// Keys in the order first seen; a repeated key replaces the value in place.
using Dictionary = std::vector<std::pair<std::string, ListMember>>;

struct StructuredFieldError {
  std::string message;
  std::size_t offset = 0;
};

/// Parses a whole field value. Leading and trailing spaces are allowed; anything else left over
/// is an error. Several field lines of one header are combined with ", " before parsing.
std::expected<Item, StructuredFieldError> parseItem(std::string_view text);
std::expected<List, StructuredFieldError> parseList(std::string_view text);
std::expected<Dictionary, StructuredFieldError> parseDictionary(std::string_view text);

/// Canonical text of a value. Fails for values that cannot be written (an integer outside
/// ±999,999,999,999,999, a string with control characters, a key or token with characters not
/// allowed, a decimal with more than 12 integer digits).
std::expected<std::string, StructuredFieldError> serializeItem(const Item& item);
std::expected<std::string, StructuredFieldError> serializeList(const List& list);
std::expected<std::string, StructuredFieldError> serializeDictionary(const Dictionary& dictionary);

/// The value of `key` in `dictionary`, if any.
const ListMember* find(const Dictionary& dictionary, std::string_view key);
/// The value of `key` in `parameters`, if any.
const BareItem* find(const Parameters& parameters, std::string_view key);

}  // namespace tarnix::base::sf
