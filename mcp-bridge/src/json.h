// The JSON value tree and the one wire form in which the bridge writes it.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace bridge {

// Objects keep their members sorted by key (byte order); a repeated key keeps
// its last value.
using Json = nlohmann::json;

// Arrays and objects may nest this deep, the outermost value counted.
constexpr int kMaxJsonDepth = 127;

// Parses `text` as exactly one JSON value with only JSON white space around
// it. Fails (nullopt) on anything else, on a leading byte-order mark, on a
// raw NUL, on invalid UTF-8, on numbers out of double range and on nesting
// deeper than kMaxJsonDepth. The number -0 becomes the double minus zero;
// integers within 64 bits stay integers (unsigned unless negative), wider
// ones become doubles. A lone surrogate escape is kept as the surrogate's
// three-byte form, which valid UTF-8 never holds, so that the wire form can
// write the same escape back; an escaped pair still joins into one character.
std::optional<Json> parse_json(std::string_view text);

// The member `name` of `value`; nullptr when `value` is nullptr, not an
// object, or lacks the member, so that lookups chain without checks between.
const Json* member(const Json* value, std::string_view name);

// Appends the compact wire form of `value` to `out`: members in key order,
// minimal escapes, raw UTF-8 (a lone surrogate as its escape, hex digits in
// lowercase), integers digit for digit, other numbers as the shortest
// round-trip double.
void serialize(const Json& value, std::string& out);
std::string serialize(const Json& value);

}  // namespace bridge
