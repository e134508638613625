#include "support/reference_json.h"

#include "json.h"

#include <charconv>
#include <string_view>

namespace bridge::reference {
namespace {

constexpr int kMaxDepth = 127;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The text form "-0" not followed by a fraction, exponent or further digit.
bool minus_zero_at(std::string_view t, size_t i) {
  if (t[i] != '-' || i + 1 >= t.size() || t[i + 1] != '0') return false;
  if (i > 0 && (t[i - 1] == 'e' || t[i - 1] == 'E')) return false;  // an exponent's sign
  if (i + 2 >= t.size()) return true;
  const char next = t[i + 2];
  return !is_digit(next) && next != '.' && next != 'e' && next != 'E';
}

struct Scan {
  bool too_deep = false;
  bool minus_zero = false;
};

// One pass outside string literals: nesting depth and minus zeros. The library
// builds trees of any depth, so depth must be refused before it runs.
Scan scan(std::string_view t) {
  Scan result;
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) {
        result.too_deep = true;
        return result;
      }
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == '-' && minus_zero_at(t, i)) {
      result.minus_zero = true;
    }
  }
  return result;
}

// Rewrites each bare -0 as -0.0 so the library reads it as a double.
std::string spell_minus_zero_as_double(std::string_view t) {
  std::string out;
  out.reserve(t.size() + 8);
  bool in_string = false;
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    out += c;
    if (in_string) {
      if (c == '\\' && i + 1 < t.size()) {
        out += t[++i];
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (minus_zero_at(t, i)) {
      out += "0.0";
      ++i;
    }
  }
  return out;
}

void write_string(const std::string& s, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, start, i - start);
    start = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(s, start, std::string::npos);
  out += '"';
}

template <typename Int>
void write_integer(Int value, std::string& out) {
  char buf[24];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

// Shortest round-trip digits, in plain notation when the first significant
// digit's power of ten lies in -5..15, otherwise as d.ddde±x.
void write_double(double value, std::string& out) {
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
  std::string digits(1, s[0]);
  if (e > 1) digits.append(s.substr(2, e - 2));
  const int count = static_cast<int>(digits.size());
  if (exponent >= 0 && exponent <= 15) {
    const int whole = exponent + 1;
    if (count <= whole) {
      out += digits;
      out.append(whole - count, '0');
      out += ".0";
    } else {
      out.append(digits, 0, whole);
      out += '.';
      out.append(digits, whole, std::string::npos);
    }
  } else if (exponent < 0 && exponent >= -5) {
    out += "0.";
    out.append(-exponent - 1, '0');
    out += digits;
  } else {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits, 1, std::string::npos);
    }
    out += exponent < 0 ? "e-" : "e+";
    write_integer(exponent < 0 ? -exponent : exponent, out);
  }
}

}  // namespace

std::optional<Json> parse_json(std::string_view text) {
  const Scan found = scan(text);
  if (found.too_deep) return std::nullopt;
  // A byte-order mark is not JSON white space; the library would skip it.
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") return std::nullopt;
  // The library takes a NUL byte for the end of its input and would accept
  // whatever follows one. No JSON text holds a raw NUL anywhere.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  Json value;
  if (found.minus_zero) {
    const std::string respelled = spell_minus_zero_as_double(text);
    value = Json::parse(respelled, nullptr, /*allow_exceptions=*/false);
  } else {
    value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  }
  if (value.is_discarded()) return std::nullopt;
  return value;
}

void serialize(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::null: out += "null"; break;
    case Json::value_t::boolean: out += value.get_ref<const bool&>() ? "true" : "false"; break;
    case Json::value_t::number_integer:
      write_integer(value.get_ref<const Json::number_integer_t&>(), out);
      break;
    case Json::value_t::number_unsigned:
      write_integer(value.get_ref<const Json::number_unsigned_t&>(), out);
      break;
    case Json::value_t::number_float:
      write_double(value.get_ref<const Json::number_float_t&>(), out);
      break;
    case Json::value_t::string: write_string(value.get_ref<const std::string&>(), out); break;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& element : value.get_ref<const Json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        serialize(element, out);
      }
      out += ']';
      break;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        write_string(key, out);
        out += ':';
        serialize(member, out);
      }
      out += '}';
      break;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded: out += "null"; break;
  }
}

std::string serialize(const Json& value) {
  std::string out;
  serialize(value, out);
  return out;
}

namespace {

Json::value_t library_type(JsonType type) {
  switch (type) {
    case JsonType::kNull: return Json::value_t::null;
    case JsonType::kBoolean: return Json::value_t::boolean;
    case JsonType::kUnsigned: return Json::value_t::number_unsigned;
    case JsonType::kSigned: return Json::value_t::number_integer;
    case JsonType::kDouble: return Json::value_t::number_float;
    case JsonType::kString: return Json::value_t::string;
    case JsonType::kArray: return Json::value_t::array;
    case JsonType::kObject: return Json::value_t::object;
  }
  return Json::value_t::discarded;
}

// Integers keep their kind (signed, unsigned) as well as their digits, and
// both trees have the same shape and sizes.
bool same_kinds(const JsonValue& ours, const Json& theirs) {
  if (library_type(ours.type()) != theirs.type()) return false;
  if (ours.is_array()) {
    if (ours.size() != theirs.size()) return false;
    size_t i = 0;
    bool same = true;
    for_each_element(ours, [&](const JsonValue& element) {
      same = same && same_kinds(element, theirs[i++]);
    });
    return same;
  }
  if (ours.is_object()) {
    if (ours.size() != theirs.size()) return false;
    auto other = theirs.begin();
    for (size_t i = 0; i < ours.size(); ++i, ++other) {
      if (ours.members[i].key != other.key() || !same_kinds(ours.members[i].value, *other)) {
        return false;
      }
    }
  }
  return true;
}

// True when the wire form `wire` holds a \uXXXX escape of a surrogate.
bool has_surrogate_escape(std::string_view wire) {
  for (size_t i = 0; i + 1 < wire.size(); ++i) {
    if (wire[i] != '\\') continue;
    if (wire[i + 1] == 'u' && i + 3 < wire.size() && wire[i + 2] == 'd' &&
        std::string_view("89abcdef").find(wire[i + 3]) != std::string_view::npos) {
      return true;
    }
    ++i;  // the escaped character
  }
  return false;
}

}  // namespace

std::string difference(std::string_view input) {
  const auto ours = bridge::parse_json(input);
  const auto theirs = parse_json(input);
  if (!ours && !theirs) return {};
  if (!ours) return "refused what the reference accepts";
  const std::string wire = bridge::serialize(ours->root);
  const auto again = bridge::parse_json(wire);
  if (!again || bridge::serialize(again->root) != wire) return "does not read back: " + wire;
  if (!theirs) {
    // A lone surrogate that a repeated key dropped leaves none in the wire
    // form, so the input is looked at too.
    if (!has_surrogate_escape(wire) && !has_surrogate_escape(input)) {
      return "accepted what the reference refuses: " + wire;
    }
    return {};
  }
  const std::string expected = serialize(*theirs);
  if (wire != expected) return "read differently: " + wire + " against " + expected;
  if (!same_kinds(ours->root, *theirs)) return "number kinds differ";
  return {};
}

}  // namespace bridge::reference
