// Byte-level text helpers shared by the line reader, the JSON reader, the
// settings file and the HTTP parser: UTF-8 decoding and validation, lossy
// decoding, Unicode white-space trim, and ASCII digits.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bridge {

// One UTF-8 sequence read from the start of a text.
struct Utf8Char {
  /// Bytes of the well-formed sequence, or 0 when it is ill-formed: overlong,
  /// a surrogate, above U+10FFFF or cut off.
  size_t length = 0;
  /// Meaningful only when `length` is not 0.
  char32_t code_point = 0;
  /// When ill-formed: the length of its maximal ill-formed subpart (at
  /// least 1), which one replacement character stands for.
  size_t ill_formed = 1;
};

// The one UTF-8 decoder of the bridge. REQUIRES: `bytes` is not empty.
Utf8Char decode_utf8(std::string_view bytes);

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of a hexadecimal digit in either case, or -1.
inline int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool valid_utf8(std::string_view bytes);

// Returns `bytes` with every ill-formed sequence replaced by U+FFFD (one per
// maximal ill-formed subpart).
std::string lossy_utf8(std::string_view bytes);

// Strips Unicode white space (the White_Space property: tab to carriage
// return, space, U+0085, no-break space, the U+2000 block and friends) from
// both ends. REQUIRES: `text` is valid UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace bridge
