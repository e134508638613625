// Header values on arbitrary bytes: the result must always fit a header line,
// and the application must get back exactly the text the bridge meant.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.h"
#include "http.h"

namespace {

using bridge::fuzz::require;

constexpr std::string_view kPrefix = "=?base64?";
constexpr std::string_view kSuffix = "?=";

// The value of a Base64 digit of the standard alphabet, or -1.
int digit_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict decoding, written apart from the encoder under test: whole groups of
// four, padding only at the very end, and no stray bits under the padding, so
// that every text decodes only if it is the one canonical encoding.
std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    const size_t padding = !last ? 0 : text[at + 3] != '=' ? 0 : text[at + 2] != '=' ? 1 : 2;
    uint32_t group = 0;
    for (size_t i = 0; i < 4; ++i) {
      const int value = i < 4 - padding ? digit_value(text[at + i]) : 0;
      if (value < 0) return std::nullopt;
      group = group << 6 | static_cast<uint32_t>(value);
    }
    if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
      return std::nullopt;
    }
    out += static_cast<char>(group >> 16);
    if (padding < 2) out += static_cast<char>(group >> 8 & 0xFF);
    if (padding < 1) out += static_cast<char>(group & 0xFF);
  }
  return out;
}

bool printable_ascii(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte > 126) return false;
  }
  return true;
}

// What the application takes for an encoded value and decodes.
bool looks_encoded(std::string_view text) {
  return text.starts_with(kPrefix) && text.ends_with(kSuffix);
}

// Fits a header line as it is, and the application leaves it as it is.
bool passes_unchanged(std::string_view text) {
  return printable_ascii(text) && !text.starts_with(' ') && !text.ends_with(' ') &&
         !looks_encoded(text);
}

void check_encoding(std::string_view input) {
  const std::string encoded = bridge::base64_encode(input);
  require(encoded.size() == (input.size() + 2) / 3 * 4, "Base64 has four digits per three bytes");
  const auto decoded = base64_decode(encoded);
  require(decoded && *decoded == input, "Base64 decodes back to the input");
}

void check_header_value(std::string_view input) {
  const std::string value = bridge::header_safe(input);
  require(printable_ascii(value), "a header value holds bytes 32 to 126 only");
  require(!value.starts_with(' ') && !value.ends_with(' '), "no space at either end");
  if (passes_unchanged(input)) {
    require(value == input, "a text that fits a header line is sent as it is");
    return;
  }
  require(value != input, "a text that does not fit is changed");
  require(value.size() >= kPrefix.size() + kSuffix.size() && value.starts_with(kPrefix) &&
              value.ends_with(kSuffix),
          "a changed text is wrapped as =?base64?...?=");
  const std::string_view inner = std::string_view(value).substr(
      kPrefix.size(), value.size() - kPrefix.size() - kSuffix.size());
  const auto decoded = base64_decode(inner);
  require(decoded && *decoded == input, "the wrapped Base64 decodes to the original text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = bridge::fuzz::as_bytes(data, size);
  check_encoding(input);
  check_header_value(input);
  return 0;
}
