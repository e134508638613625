// Header values that survive any HTTP stack: printable ASCII as it is,
// everything else wrapped in a Base64 form the application decodes.
#include <cstdint>

#include "http.h"

namespace bridge {
namespace {

constexpr std::string_view kPrefix = "=?base64?";
constexpr std::string_view kSuffix = "?=";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A text the application would take for an encoded value. The prefix's last
// "?" may double as the suffix's, so "=?base64?=" counts.
bool looks_encoded(std::string_view text) {
  return text.starts_with(kPrefix) && text.ends_with(kSuffix);
}

bool is_safe(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte > 126) return false;
  }
  if (!text.empty() && (text.front() == ' ' || text.back() == ' ')) return false;
  return !looks_encoded(text);
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
    for (const int shift : {18, 12, 6, 0}) out += kAlphabet[(group >> shift) & 0x3F];
  }
  const size_t left = bytes.size() - i;
  if (left == 0) return out;
  uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
  if (left == 2) group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
  out += kAlphabet[(group >> 18) & 0x3F];
  out += kAlphabet[(group >> 12) & 0x3F];
  out += left == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
  out += '=';
  return out;
}

std::string header_safe(std::string_view text) {
  if (is_safe(text)) return std::string(text);
  std::string out(kPrefix);
  out += base64_encode(text);
  out += kSuffix;
  return out;
}

}  // namespace bridge
