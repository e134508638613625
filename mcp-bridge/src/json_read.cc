// The JSON reader: one pass over the document's own copy of the text that
// checks every rule while it builds the tree. A string without escapes stays
// where it lies and the tree points at it; one with escapes is decoded in
// place, since its decoded form is never longer than its text. Members and
// elements are gathered on two stacks of the reader and copied into the
// arena once their object or run is complete.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "byte_scan.h"
#include "decimal.h"
#include "json.h"
#include "text.h"

namespace bridge {
namespace {

// An array's elements are moved into the arena in runs of this many, so the
// reader's stack holds at most this many per open array.
constexpr size_t kSegmentRun = 1024;

bool is_high_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Writes `c` as UTF-8 at `out` and returns the end. A surrogate code point,
// which only a lone surrogate escape produces, gets the three-byte form that
// well-formed UTF-8 never holds; the writer recognises it and writes the
// escape back.
char* put_utf8(uint32_t c, char* out) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// The first byte at or after `p` that ends a run of plain string bytes: a
// quotation mark, a reverse solidus, a control byte or a non-ASCII byte.
char* skip_plain_string_bytes(char* p, const char* end) {
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

bool key_less(const JsonMember& a, const JsonMember& b) { return a.key < b.key; }

class Reader {
 public:
  Reader(Arena& arena, char* begin, char* end) : arena_(arena), p_(begin), end_(end) {}

  bool read_document(JsonValue& out) {
    skip_white_space();
    if (!read_value(out, 0)) return false;
    skip_white_space();
    return p_ == end_;
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
  bool read_value(JsonValue& out, int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return read_object(out, depth + 1);
      case '[': return read_array(out, depth + 1);
      case '"': {
        ++p_;
        std::string_view text;
        if (!read_string(text)) return false;
        out = json_string(text);
        return true;
      }
      case 't': out = json_boolean(true); return consume_word("true");
      case 'f': out = json_boolean(false); return consume_word("false");
      case 'n': out = json_null(); return consume_word("null");
      default: return read_number(out);
    }
  }

  bool read_object(JsonValue& out, int depth) {
    if (depth > kMaxJsonDepth) return false;
    ++p_;
    const size_t base = members_.size();
    skip_white_space();
    if (!consume('}')) {
      for (;;) {
        JsonMember read;
        if (!consume('"') || !read_string(read.key)) return false;
        skip_white_space();
        if (!consume(':')) return false;
        skip_white_space();
        if (!read_value(read.value, depth)) return false;
        members_.push_back(read);
        skip_white_space();
        if (consume('}')) break;
        if (!consume(',')) return false;
        skip_white_space();
      }
    }
    out = finish_object(base);
    return true;
  }

  // Sorts the members above `base` by key, keeps the last of each key, and
  // moves them into the arena. Text written by a program mostly comes
  // sorted already, or nearly, and small objects sort best by insertion.
  JsonValue finish_object(size_t base) {
    JsonMember* const first = members_.data() + base;
    JsonMember* const last = members_.data() + members_.size();
    if (!std::is_sorted(first, last, key_less)) {
      if (last - first <= 16) {
        insertion_sort(first, last);
      } else {
        std::stable_sort(first, last, key_less);
      }
    }
    auto* kept = arena_.allocate_array<JsonMember>(static_cast<size_t>(last - first));
    size_t count = 0;
    for (JsonMember* m = first; m != last; ++m) {
      // Sorting kept equal keys in text order: the last of them wins.
      if (count > 0 && kept[count - 1].key == m->key) {
        kept[count - 1] = *m;
      } else {
        kept[count++] = *m;
      }
    }
    members_.resize(base);
    return json_object(kept, count);
  }

  static void insertion_sort(JsonMember* first, JsonMember* last) {
    for (JsonMember* i = first + 1; i < last; ++i) {
      const JsonMember moving = *i;
      JsonMember* j = i;
      for (; j > first && key_less(moving, j[-1]); --j) *j = j[-1];
      *j = moving;
    }
  }

  bool read_array(JsonValue& out, int depth) {
    if (depth > kMaxJsonDepth) return false;
    ++p_;
    const size_t base = elements_.size();
    const JsonSegment* first = nullptr;
    JsonSegment* last = nullptr;
    size_t count = 0;
    skip_white_space();
    if (!consume(']')) {
      for (;;) {
        JsonValue element;
        if (!read_value(element, depth)) return false;
        elements_.push_back(element);
        if (elements_.size() - base == kSegmentRun) move_run(base, first, last, count);
        skip_white_space();
        if (consume(']')) break;
        if (!consume(',')) return false;
        skip_white_space();
      }
    }
    move_run(base, first, last, count);
    out = json_array(first, count);
    return true;
  }

  // Moves the elements above `base` into a run of the array in the arena.
  void move_run(size_t base, const JsonSegment*& first, JsonSegment*& last, size_t& count) {
    const size_t run = elements_.size() - base;
    if (run == 0) return;
    auto* values = arena_.allocate_array<JsonValue>(run);
    std::copy(elements_.begin() + static_cast<ptrdiff_t>(base), elements_.end(), values);
    auto* segment = arena_.allocate_array<JsonSegment>(1);
    *segment = JsonSegment{nullptr, run, values};
    if (last == nullptr) {
      first = segment;
    } else {
      last->next = segment;
    }
    last = segment;
    count += run;
    elements_.resize(base);
  }

  // Reads the rest of a string whose opening quotation mark is behind us.
  // Until the first escape the string is its text; from there on, decoded
  // bytes are written back over the text behind the read position.
  bool read_string(std::string_view& out) {
    char* const start = p_;
    char* decoded = nullptr;  // end of the decoded bytes, once an escape was met
    for (;;) {
      char* const run = p_;
      if (!skip_run()) return false;
      if (decoded != nullptr) {
        std::memmove(decoded, run, static_cast<size_t>(p_ - run));
        decoded += p_ - run;
      }
      if (*p_ == '"') {
        out = std::string_view(start, static_cast<size_t>((decoded ? decoded : p_) - start));
        ++p_;
        return true;
      }
      if (decoded == nullptr) decoded = p_;
      if (!read_escape(decoded)) return false;
    }
  }

  // Moves over plain bytes and well-formed UTF-8 up to a quotation mark or
  // reverse solidus; false at the end of the text, at a raw control byte
  // (NUL among them) and at invalid UTF-8.
  bool skip_run() {
    for (;;) {
      p_ = skip_plain_string_bytes(p_, end_);
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"' || c == '\\') return true;
      if (c < 0x20) return false;
      const size_t length = decode_utf8({p_, static_cast<size_t>(end_ - p_)}).length;
      if (length == 0) return false;
      p_ += length;
    }
  }

  // Decodes the escape at the read position to `out`, which lies at or
  // before it, and moves both past it.
  bool read_escape(char*& out) {
    if (end_ - p_ < 2) return false;
    const char letter = p_[1];
    p_ += 2;
    switch (letter) {
      case '"': *out++ = '"'; return true;
      case '\\': *out++ = '\\'; return true;
      case '/': *out++ = '/'; return true;
      case 'b': *out++ = '\b'; return true;
      case 'f': *out++ = '\f'; return true;
      case 'n': *out++ = '\n'; return true;
      case 'r': *out++ = '\r'; return true;
      case 't': *out++ = '\t'; return true;
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
  bool read_unicode_escape(char*& out) {
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
    out = put_utf8(code, out);
    return true;
  }

  const char* skip_digits(const char* p) const {
    while (p < end_ && is_digit(*p)) ++p;
    return p;
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
  bool read_number(JsonValue& out) {
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
    p_ += p - start;
    if (integer && store_integer(negative, std::string_view(digits, digits_end - digits), out)) {
      return true;
    }
    const std::string_view text(start, static_cast<size_t>(p - start));
    if (const std::optional<double> exact = exact_double(text)) {
      out = json_double(*exact);
      return true;
    }
    return store_double(text, out);
  }

  // The fast path for the usual short numbers: at most 15 significant digits
  // and a power of ten of at most 22 either way. Both are exact doubles, so
  // one IEEE multiplication or division rounds correctly, as strtod would.
  // nullopt for anything else. REQUIRES: `text` is a well-formed number.
  static std::optional<double> exact_double(std::string_view text) {
    size_t i = 0;
    const bool negative = text[0] == '-';
    if (negative) ++i;
    uint64_t significand = 0;
    int digits = 0;
    int exponent = 0;
    bool fraction = false;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
      if (text[i] == '.') {
        fraction = true;
        continue;
      }
      if (significand != 0 || text[i] != '0') ++digits;
      if (digits > 15) return std::nullopt;
      significand = significand * 10 + static_cast<uint64_t>(text[i] - '0');
      if (fraction) --exponent;
    }
    if (i < text.size()) {
      ++i;
      const bool negative_exponent = text[i] == '-';
      if (text[i] == '+' || text[i] == '-') ++i;
      if (text.size() - i > 4) return std::nullopt;
      int written = 0;
      for (; i < text.size(); ++i) written = written * 10 + (text[i] - '0');
      exponent += negative_exponent ? -written : written;
    }
    double value = static_cast<double>(significand);
    if (significand != 0) {
      if (exponent < -22 || exponent > 22) return std::nullopt;
      value = exponent < 0 ? value / kPowersOfTen[-exponent] : value * kPowersOfTen[exponent];
    }
    return negative ? -value : value;
  }

  // Integers within 64 bits stay integers: unsigned when not negative,
  // signed otherwise. Minus zero and anything wider become doubles.
  static bool store_integer(bool negative, std::string_view digits, JsonValue& out) {
    if (negative && digits == "0") return false;
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    for (const char c : digits) {
      const auto digit = static_cast<uint64_t>(c - '0');
      if (value > (kMax - digit) / 10) return false;
      value = value * 10 + digit;
    }
    if (!negative) {
      out = json_unsigned(value);
      return true;
    }
    constexpr uint64_t kMinMagnitude = uint64_t{1} << 63;
    if (value > kMinMagnitude) return false;
    out = json_signed(value == kMinMagnitude ? std::numeric_limits<int64_t>::min()
                                             : -static_cast<int64_t>(value));
    return true;
  }

  // strtod rounds correctly, and reads '.' as the decimal point because the
  // bridge never calls setlocale and so runs in the C locale. It wants a NUL
  // at the end, which the text does not have, hence the copy.
  bool store_double(std::string_view number, JsonValue& out) {
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
    out = json_double(value);
    return true;
  }

  Arena& arena_;
  char* p_;
  char* const end_;
  /// Members of the open objects, innermost last.
  std::vector<JsonMember> members_;
  /// Elements of the open arrays' current runs, innermost last.
  std::vector<JsonValue> elements_;
  std::string long_number_;
};

// The tree of a value of about this many text bytes needs about as many
// again; the first chunk is sized for that share of it.
size_t tree_size_hint(size_t text_size) { return text_size / 2; }

std::optional<Json> read_into(Json document, char* begin, size_t size) {
  if (!Reader(document.arena, begin, begin + size).read_document(document.root)) {
    return std::nullopt;
  }
  document.wire_size = size;
  return document;
}

}  // namespace

std::optional<Json> parse_json(std::string_view text) {
  Json document;
  // A small text and its whole tree share one chunk. A large one is copied
  // into a block of its own, and the tree's chunks grow from a modest start:
  // a long line is mostly one long string, whose tree is a few values.
  constexpr size_t kSmallText = 8 * 1024;
  document.arena = Arena(text.size() < kSmallText ? 2 * text.size() + 512 : 64 * 1024);
  char* copy = static_cast<char*>(document.arena.allocate(text.size()));
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  return read_into(std::move(document), copy, text.size());
}

std::optional<Json> parse_json(ByteBuffer bytes, size_t offset, size_t size) {
  Json document;
  document.arena = Arena(tree_size_hint(size));
  document.block = std::move(bytes.data);
  char* const begin = document.block.get() + offset;
  return read_into(std::move(document), begin, size);
}

}  // namespace bridge
