#include "text.h"

#include <cstdint>
#include <cstring>

namespace bridge {
namespace {

// Decodes the sequence at the start of `s`. On success returns its length and
// sets `cp`; on failure returns 0 and sets `bad` to the length of the maximal
// ill-formed subpart (at least 1).
size_t decode(std::string_view s, char32_t& cp, size_t& bad) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  bad = 1;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (size_t i = 1; i < len; ++i) {
    if (i >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < lo || b > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
    bad = i + 1;
  }
  return len;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace

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
    char32_t cp;
    size_t bad;
    const size_t len = decode(bytes.substr(i), cp, bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t cp;
    size_t bad;
    const size_t len = decode(bytes, cp, bad);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      bytes.remove_prefix(bad);
    } else {
      out.append(bytes.substr(0, len));
      bytes.remove_prefix(len);
    }
  }
  return out;
}

std::string_view trim_white_space(std::string_view text) {
  char32_t cp;
  size_t bad;
  while (!text.empty()) {
    const size_t len = decode(text, cp, bad);
    if (len == 0 || !is_white_space(cp)) break;
    text.remove_prefix(len);
  }
  while (!text.empty()) {
    size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const size_t len = decode(text.substr(start), cp, bad);
    if (len == 0 || !is_white_space(cp)) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

}  // namespace bridge
