// One input line as the reading loop sees it: parse_json on arbitrary bytes,
// then the wire form of whatever it accepts. Every accepted value must come
// out as one clean line that reads back as the same value, byte for byte.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "json.h"
#include "text.h"

namespace {

using bridge::JsonValue;
using bridge::fuzz::require;

// Nesting of arrays and objects, the outermost value counted as 1.
int depth(const JsonValue& value) {
  if (!value.is_array() && !value.is_object()) return 0;
  int deepest = 0;
  if (value.is_array()) {
    bridge::for_each_element(value, [&](const JsonValue& e) { deepest = std::max(deepest, depth(e)); });
  } else {
    for (size_t i = 0; i < value.size(); ++i) {
      deepest = std::max(deepest, depth(value.members[i].value));
    }
  }
  return deepest + 1;
}

bool has_control_byte(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

void check_refusals(std::string_view line, bool accepted) {
  if (!accepted) return;
  require(bridge::valid_utf8(line), "only UTF-8 is accepted");
  require(!line.starts_with("\xEF\xBB\xBF"), "a byte-order mark is refused");
  require(!bridge::trim_white_space(line).empty(), "a blank line holds no value");
}

void check_wire_form(const JsonValue& value) {
  require(depth(value) <= bridge::kMaxJsonDepth, "nesting stays within the limit");
  const std::string wire = bridge::serialize(value);
  require(!has_control_byte(wire), "the wire form has no raw control byte");
  require(wire.find('\n') == std::string::npos, "the wire form is one line");
  require(bridge::valid_utf8(wire), "the wire form is UTF-8");
  const auto again = bridge::parse_json(wire);
  require(again.has_value(), "the wire form parses");
  require(bridge::serialize(again->root) == wire, "the wire form is a fixed point");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line = bridge::fuzz::as_bytes(data, size);
  const auto value = bridge::parse_json(line);
  check_refusals(line, value.has_value());
  if (value) check_wire_form(value->root);
  return 0;
}
