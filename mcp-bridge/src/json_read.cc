// The JSON reader: one pass over the text that checks every rule while it
// builds the tree, so that nothing is scanned twice and no token is copied
// except a string's decoded bytes and a non-integer number's digits.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "byte_scan.h"
#include "json.h"

namespace bridge {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_high_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Appends `c` as UTF-8. A surrogate code point, which only a lone surrogate
// escape produces, gets the three-byte form that well-formed UTF-8 never
// holds; the writer recognises it and writes the escape back.
void append_utf8(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    const char bytes[] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 2);
  } else if (c < 0x10000) {
    const char bytes[] = {static_cast<char>(0xE0 | (c >> 12)),
                          static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[] = {static_cast<char>(0xF0 | (c >> 18)),
                          static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                          static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 4);
  }
}

// Length of the well-formed UTF-8 sequence that starts at the non-ASCII byte
// `p`, or 0: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8_length(const char* p, const char* end) {
  const auto lead = static_cast<unsigned char>(*p);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - p) < length) return 0;
  const auto second = static_cast<unsigned char>(p[1]);
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// The first byte at or after `p` that ends a run of plain string bytes: a
// quotation mark, a reverse solidus, a control byte or a non-ASCII byte.
const char* skip_plain_string_bytes(const char* p, const char* end) {
  using namespace byte_scan;
  while (end - p >= kBlockSize) {
    const Block block = load(p);
    const int offset = first_marked(equal_to(block, '"') | equal_to(block, '\\') |
                                    control_or_non_ascii(block));
    if (offset < kBlockSize) return p + offset;
    p += kBlockSize;
  }
  while (p < end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
    ++p;
  }
  return p;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  std::optional<Json> read_document() {
    Json value;
    skip_white_space();
    if (!read_value(value, 0)) return std::nullopt;
    skip_white_space();
    if (p_ != end_) return std::nullopt;
    return value;
  }

 private:
  void skip_white_space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool consume(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  bool consume_word(std::string_view word) {
    if (static_cast<size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word) {
      return false;
    }
    p_ += word.size();
    return true;
  }

  // `depth` counts the arrays and objects already open around the value.
  bool read_value(Json& out, int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return read_object(out, depth + 1);
      case '[': return read_array(out, depth + 1);
      case '"':
        ++p_;
        out = Json::value_t::string;
        return read_string(out.get_ref<std::string&>());
      case 't': out = true; return consume_word("true");
      case 'f': out = false; return consume_word("false");
      case 'n': return consume_word("null");
      default: return read_number(out);
    }
  }

  bool read_object(Json& out, int depth) {
    if (depth > kMaxJsonDepth) return false;
    ++p_;
    out = Json::value_t::object;
    auto& members = out.get_ref<Json::object_t&>();
    skip_white_space();
    if (consume('}')) return true;
    for (;;) {
      std::string key;
      if (!consume('"') || !read_string(key)) return false;
      skip_white_space();
      if (!consume(':')) return false;
      skip_white_space();
      // A repeated key keeps its last value.
      auto [slot, inserted] = members.try_emplace(std::move(key));
      if (!inserted) slot->second = nullptr;
      if (!read_value(slot->second, depth)) return false;
      skip_white_space();
      if (consume('}')) return true;
      if (!consume(',')) return false;
      skip_white_space();
    }
  }

  bool read_array(Json& out, int depth) {
    if (depth > kMaxJsonDepth) return false;
    ++p_;
    out = Json::value_t::array;
    auto& elements = out.get_ref<Json::array_t&>();
    skip_white_space();
    if (consume(']')) return true;
    for (;;) {
      if (!read_value(elements.emplace_back(), depth)) return false;
      skip_white_space();
      if (consume(']')) return true;
      if (!consume(',')) return false;
      skip_white_space();
    }
  }

  // Reads the rest of a string whose opening quotation mark is behind us,
  // appending runs of plain bytes whole.
  bool read_string(std::string& out) {
    const char* run = p_;
    for (;;) {
      p_ = skip_plain_string_bytes(p_, end_);
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out.append(run, p_);
        ++p_;
        return true;
      }
      if (c == '\\') {
        out.append(run, p_);
        if (!read_escape(out)) return false;
        run = p_;
        continue;
      }
      if (c < 0x20) return false;  // raw control bytes, NUL among them
      const size_t length = utf8_length(p_, end_);
      if (length == 0) return false;
      p_ += length;
    }
  }

  bool read_escape(std::string& out) {
    if (end_ - p_ < 2) return false;
    const char letter = p_[1];
    p_ += 2;
    switch (letter) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': return read_unicode_escape(out);
      default: return false;
    }
  }

  // Four hex digits at `at`, or -1.
  int32_t hex4(const char* at) const {
    if (end_ - at < 4) return -1;
    int32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_value(at[i]);
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    return value;
  }

  // After "\u": a high surrogate followed at once by an escaped low one
  // joins it into one character; any other surrogate stays on its own.
  bool read_unicode_escape(std::string& out) {
    const int32_t first = hex4(p_);
    if (first < 0) return false;
    p_ += 4;
    uint32_t code = static_cast<uint32_t>(first);
    if (is_high_surrogate(code) && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
      const int32_t second = hex4(p_ + 2);
      if (second >= 0 && is_low_surrogate(static_cast<uint32_t>(second))) {
        code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(second) - 0xDC00);
        p_ += 6;
      }
    }
    append_utf8(code, out);
    return true;
  }

  const char* skip_digits(const char* p) const {
    while (p < end_ && is_digit(*p)) ++p;
    return p;
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
  bool read_number(Json& out) {
    const char* start = p_;
    const bool negative = *p_ == '-';
    const char* p = p_ + (negative ? 1 : 0);
    const char* digits = p;
    if (p == end_ || !is_digit(*p)) return false;
    p = *p == '0' ? p + 1 : skip_digits(p);
    const char* digits_end = p;
    bool integer = true;
    if (p < end_ && *p == '.') {
      integer = false;
      if (++p == end_ || !is_digit(*p)) return false;
      p = skip_digits(p);
    }
    if (p < end_ && (*p == 'e' || *p == 'E')) {
      integer = false;
      if (++p < end_ && (*p == '+' || *p == '-')) ++p;
      if (p == end_ || !is_digit(*p)) return false;
      p = skip_digits(p);
    }
    p_ = p;
    if (integer && store_integer(negative, std::string_view(digits, digits_end - digits), out)) {
      return true;
    }
    return store_double(std::string_view(start, p - start), out);
  }

  // Integers within 64 bits stay integers: unsigned when not negative,
  // signed otherwise. Minus zero and anything wider become doubles.
  static bool store_integer(bool negative, std::string_view digits, Json& out) {
    if (negative && digits == "0") return false;
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    for (const char c : digits) {
      const auto digit = static_cast<uint64_t>(c - '0');
      if (value > (kMax - digit) / 10) return false;
      value = value * 10 + digit;
    }
    if (!negative) {
      out = value;
      return true;
    }
    constexpr uint64_t kMinMagnitude = uint64_t{1} << 63;
    if (value > kMinMagnitude) return false;
    out = value == kMinMagnitude ? std::numeric_limits<int64_t>::min()
                                 : -static_cast<int64_t>(value);
    return true;
  }

  // strtod rounds correctly, and reads '.' as the decimal point because the
  // bridge never calls setlocale and so runs in the C locale. It wants a NUL
  // at the end, which the input does not have, hence the copy.
  bool store_double(std::string_view number, Json& out) {
    char small[64];
    const char* text = small;
    if (number.size() < sizeof small) {
      number.copy(small, number.size());
      small[number.size()] = '\0';
    } else {
      long_number_.assign(number);
      text = long_number_.c_str();
    }
    const double value = std::strtod(text, nullptr);
    if (!std::isfinite(value)) return false;  // beyond the range of a double
    out = value;
    return true;
  }

  const char* p_;
  const char* const end_;
  std::string long_number_;
};

}  // namespace

std::optional<Json> parse_json(std::string_view text) { return Reader(text).read_document(); }

const Json* member(const Json* value, std::string_view name) {
  if (value == nullptr || !value->is_object()) return nullptr;
  const auto found = value->find(name);
  return found == value->end() ? nullptr : &*found;
}

}  // namespace bridge
