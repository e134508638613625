// The wire form: compact, members in key order, escapes only where JSON
// requires them, numbers by the rules below. Strings are copied in whole runs
// between the few bytes that need an escape.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <cstdint>
#include <cstring>
#include <string>

#include "byte_scan.h"
#include "decimal.h"
#include "json.h"

namespace bridge {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Appends to a string through a cursor of its own: the string is grown ahead
// in doubling steps and cut to what was written at the end, so that a byte
// costs a store instead of a capacity check and a call. Grows from the room
// that the caller reserved.
class Sink {
 public:
  explicit Sink(std::string& out) : out_(out) {
    const size_t used = out.size();
    out.resize(std::max(out.capacity(), used + kLeastRoom));
    at_ = out.data() + used;
    end_ = out.data() + out.size();
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  ~Sink() { out_.resize(static_cast<size_t>(at_ - out_.data())); }

  Sink& operator+=(char c) {
    if (at_ == end_) grow(1);
    *at_++ = c;
    return *this;
  }
  Sink& operator+=(std::string_view bytes) {
    append(bytes.data(), bytes.size());
    return *this;
  }
  void append(const char* bytes, size_t size) {
    if (size == 0) return;  // an empty string's view may hold no pointer at all
    if (static_cast<size_t>(end_ - at_) < size) grow(size);
    std::memcpy(at_, bytes, size);
    at_ += size;
  }
  void append(const char* begin, const char* end) {
    append(begin, static_cast<size_t>(end - begin));
  }
  void append(size_t count, char c) {
    if (static_cast<size_t>(end_ - at_) < count) grow(count);
    std::memset(at_, c, count);
    at_ += count;
  }

 private:
  static constexpr size_t kLeastRoom = 64;

  void grow(size_t least) {
    const size_t used = static_cast<size_t>(at_ - out_.data());
    out_.resize(std::max(2 * out_.size(), used + least + kLeastRoom));
    at_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* at_;
  char* end_;
};

void write_hex4(uint32_t code, Sink& out) {
  const char escape[] = {'\\',
                         'u',
                         kHexDigits[(code >> 12) & 0xF],
                         kHexDigits[(code >> 8) & 0xF],
                         kHexDigits[(code >> 4) & 0xF],
                         kHexDigits[code & 0xF]};
  out.append(escape, sizeof escape);
}

// The first byte at or after `p` that may need an escape: a quotation mark,
// a reverse solidus, a control byte, or 0xED, which leads the three-byte form
// in which the reader keeps a lone surrogate (and some ordinary characters).
const char* skip_unescaped(const char* p, const char* end) {
  using namespace byte_scan;
  while (end - p >= kBlockSize) {
    const Block block = load(p);
    const int offset = first_marked(equal_to(block, '"') | equal_to(block, '\\') |
                                    below_space(block) | equal_to(block, 0xED));
    if (offset < kBlockSize) return p + offset;
    p += kBlockSize;
  }
  while (p < end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || c == 0xED) break;
    ++p;
  }
  return p;
}

// True when `p` starts a surrogate code point in three-byte form.
bool is_encoded_surrogate(const char* p, const char* end) {
  return end - p >= 3 && static_cast<unsigned char>(p[0]) == 0xED &&
         static_cast<unsigned char>(p[1]) >= 0xA0;
}

void write_control_escape(unsigned char c, Sink& out) {
  switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\b': out += "\\b"; break;
    case '\t': out += "\\t"; break;
    case '\n': out += "\\n"; break;
    case '\f': out += "\\f"; break;
    case '\r': out += "\\r"; break;
    default: write_hex4(c, out);
  }
}

void write_string(std::string_view s, Sink& out) {
  out += '"';
  const char* p = s.data();
  const char* const end = p + s.size();
  const char* run = p;
  while ((p = skip_unescaped(p, end)) != end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == 0xED) {
      if (!is_encoded_surrogate(p, end)) {
        ++p;  // an ordinary character from U+D000 to U+D7FF
        continue;
      }
      out.append(run, p);
      write_hex4(((c & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu), out);
      p += 3;
    } else {
      out.append(run, p);
      write_control_escape(c, out);
      ++p;
    }
    run = p;
  }
  out.append(run, end);
  out += '"';
}

template <typename Int>
void write_integer(Int value, Sink& out) {
  char buf[24];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

// Writes `value` in plain notation when a decimal of at most 15 significant
// digits reads back as it, trying 0, 1, 2... places after the point; false,
// nothing written, otherwise. That decimal is the shortest round-trip form:
// two decimals of at most 15 digits lie further apart than one double's
// spacing, so no other one of that length reads back as the same double, and
// one with fewer places would have been found first. The test is exact: the
// scaled integer is below 2^53 and the power of ten is exact, so one IEEE
// division rounds the decimal correctly, as reading it would.
bool write_short_double(double value, Sink& out) {
  const double magnitude = std::fabs(value);
  if (!(magnitude >= 1e-5 && magnitude < 1e15)) return false;  // plain notation only
  for (int places = 0; places < static_cast<int>(std::size(kPowersOfTen)); ++places) {
    const double scaled = magnitude * kPowersOfTen[places];
    if (scaled >= 1e15) return false;
    const double digits = std::nearbyint(scaled);
    if (digits / kPowersOfTen[places] != magnitude) continue;
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, static_cast<uint64_t>(digits)).ptr;
    const int count = static_cast<int>(end - buf);
    if (value < 0) out += '-';
    if (places == 0) {
      out.append(buf, end);
      out += ".0";
    } else if (count > places) {
      out.append(buf, end - places);
      out += '.';
      out.append(end - places, end);
    } else {
      out += "0.";
      out.append(static_cast<size_t>(places - count), '0');
      out.append(buf, end);
    }
    return true;
  }
  return false;
}

// Shortest round-trip digits, in plain notation when the first significant
// digit's power of ten lies in -5..15, otherwise as d.ddde±x.
void write_double(double value, Sink& out) {
  if (write_short_double(value, out)) return;
  char buf[40];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view s(buf, result.ptr - buf);  // [-]d[.ddd]e±xx
  if (s.front() == '-') {
    out += '-';
    s.remove_prefix(1);
  }
  const size_t e = s.find('e');
  std::string_view exponent_text = s.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  const char first = s[0];
  const std::string_view rest = e > 1 ? s.substr(2, e - 2) : std::string_view();
  const int count = 1 + static_cast<int>(rest.size());
  if (exponent >= 0 && exponent <= 15) {
    const int whole = exponent + 1;
    out += first;
    if (count <= whole) {
      out += rest;
      out.append(whole - count, '0');
      out += ".0";
    } else {
      out += rest.substr(0, whole - 1);
      out += '.';
      out += rest.substr(whole - 1);
    }
  } else if (exponent < 0 && exponent >= -5) {
    out += "0.";
    out.append(-exponent - 1, '0');
    out += first;
    out += rest;
  } else {
    out += first;
    if (!rest.empty()) {
      out += '.';
      out += rest;
    }
    out += exponent < 0 ? "e-" : "e+";
    write_integer(exponent < 0 ? -exponent : exponent, out);
  }
}

void write_value(const JsonValue& value, Sink& out) {
  switch (value.type()) {
    case JsonType::kNull: out += "null"; break;
    case JsonType::kBoolean: out += value.boolean ? "true" : "false"; break;
    case JsonType::kSigned: write_integer(value.signed_number, out); break;
    case JsonType::kUnsigned: write_integer(value.unsigned_number, out); break;
    case JsonType::kDouble: write_double(value.number, out); break;
    case JsonType::kString: write_string(value.string(), out); break;
    case JsonType::kArray: {
      out += '[';
      bool first = true;
      for_each_element(value, [&](const JsonValue& element) {
        if (!first) out += ',';
        first = false;
        write_value(element, out);
      });
      out += ']';
      break;
    }
    case JsonType::kObject: {
      out += '{';
      for (size_t i = 0; i < value.size(); ++i) {
        if (i > 0) out += ',';
        write_string(value.members[i].key, out);
        out += ':';
        write_value(value.members[i].value, out);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

void serialize(const JsonValue& value, std::string& out) {
  Sink sink(out);
  write_value(value, sink);
}

std::string serialize(const JsonValue& value) {
  std::string out;
  serialize(value, out);
  return out;
}

}  // namespace bridge
