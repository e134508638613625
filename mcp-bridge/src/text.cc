#include "text.h"

#include <cstdint>
#include <cstring>

namespace bridge {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace

Utf8Char decode_utf8(std::string_view s) {
  Utf8Char decoded;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return {1, b0, 1};
  size_t length;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return decoded;
  }
  for (size_t i = 1; i < length; ++i) {
    if (i >= s.size()) return decoded;
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < lo || b > hi) return decoded;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
    decoded.ill_formed = i + 1;
  }
  decoded.length = length;
  decoded.code_point = cp;
  return decoded;
}

bool valid_utf8(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    // Skip ASCII eight bytes at a time: answers are mostly ASCII.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, bytes.data() + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const size_t length = decode_utf8(bytes.substr(i)).length;
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Char decoded = decode_utf8(bytes);
    if (decoded.length == 0) {
      out += "\xEF\xBF\xBD";
      bytes.remove_prefix(decoded.ill_formed);
    } else {
      out.append(bytes.substr(0, decoded.length));
      bytes.remove_prefix(decoded.length);
    }
  }
  return out;
}

std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    const Utf8Char decoded = decode_utf8(text);
    if (decoded.length == 0 || !is_white_space(decoded.code_point)) break;
    text.remove_prefix(decoded.length);
  }
  while (!text.empty()) {
    size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const Utf8Char decoded = decode_utf8(text.substr(start));
    if (decoded.length == 0 || !is_white_space(decoded.code_point)) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

}  // namespace bridge
