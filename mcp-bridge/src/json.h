// Reading a JSON document from text, and the one wire form in which the
// bridge writes it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "buffer.h"
#include "json_tree.h"

namespace bridge {

// Arrays and objects may nest this deep, the outermost value counted.
constexpr int kMaxJsonDepth = 127;

// Parses `text` as exactly one JSON value with only JSON white space around
// it, into a document that holds a copy of `text`. Fails (nullopt) on
// anything else, on a leading byte-order mark, on a raw NUL, on invalid
// UTF-8, on numbers out of double range and on nesting deeper than
// kMaxJsonDepth. The number -0 becomes the double minus zero; integers within
// 64 bits stay integers (unsigned unless negative), wider ones become
// doubles. A lone surrogate escape is kept as the surrogate's three-byte
// form, which valid UTF-8 never holds, so that the wire form can write the
// same escape back; an escaped pair still joins into one character. A key
// read twice keeps its last value. Throws std::bad_alloc when memory runs
// out.
std::optional<Json> parse_json(std::string_view text);

// The same for the `size` bytes at `offset` in `bytes`, whose block the
// document takes over instead of copying it; on failure the block is freed.
std::optional<Json> parse_json(ByteBuffer bytes, size_t offset, size_t size);

// Appends the compact wire form of `value` to `out`: members in key order,
// minimal escapes, raw UTF-8 (a lone surrogate as its escape, hex digits in
// lowercase), integers digit for digit, other numbers as the shortest
// round-trip double.
void serialize(const JsonValue& value, std::string& out);
std::string serialize(const JsonValue& value);

}  // namespace bridge
