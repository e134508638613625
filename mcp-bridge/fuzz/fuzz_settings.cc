// The settings file on arbitrary bytes. What parse_state reports must be
// exactly what the JSON tree says under the file's rules, and must not depend
// on how the file happens to spell that tree.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app.h"
#include "check.h"
#include "json.h"

namespace {

using bridge::JsonValue;
using bridge::fuzz::require;

// A token goes into the Authorization line as it stands.
bool fits_header_line(std::string_view token) {
  for (const char c : token) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0x7F || (byte < 0x20 && byte != '\t')) return false;
  }
  return true;
}

// A linear search, not the tree's own binary one, so that a fault in either
// shows.
const JsonValue* find(const JsonValue* value, std::string_view name) {
  if (value == nullptr || !value->is_object()) return nullptr;
  for (size_t i = 0; i < value->size(); ++i) {
    if (value->members[i].key == name) return &value->members[i].value;
  }
  return nullptr;
}

// The port and token the file's rules give for `top`: a port written as a
// plain integer up to 65535, a token that can stand in a header line.
std::optional<bridge::ConnectionSettings> expected_settings(const JsonValue& top) {
  const JsonValue* port = find(&top, "port");
  const JsonValue* token = find(&top, "token");
  if (port == nullptr || !port->is_unsigned() || port->unsigned_number > 65535) {
    return std::nullopt;
  }
  if (token == nullptr || !token->is_string()) return std::nullopt;
  const std::string text(token->string());
  if (!fits_header_line(text)) return std::nullopt;
  return bridge::ConnectionSettings{static_cast<uint16_t>(port->unsigned_number), text};
}

std::optional<bool> expected_enabled(const JsonValue& top) {
  const JsonValue* enabled = find(find(&top, "settings"), "enabled");
  if (enabled == nullptr || !enabled->is_boolean()) return std::nullopt;
  return enabled->boolean;
}

bool same(const bridge::State& a, const bridge::State& b) {
  if (a.enabled != b.enabled || a.settings.has_value() != b.settings.has_value()) return false;
  return !a.settings ||
         (a.settings->port == b.settings->port && a.settings->token == b.settings->token);
}

void check_state(std::string_view text) {
  const bridge::State state = bridge::parse_state(text);
  if (state.settings) {
    require(fits_header_line(state.settings->token), "the token fits a header line");
  }
  const auto top = bridge::parse_json(text);
  if (!top) {
    require(!state.settings && !state.enabled, "a file that is not JSON says nothing");
    return;
  }
  const bridge::State expected{expected_settings(top->root), expected_enabled(top->root)};
  require(same(state, expected), "the state is what the JSON tree says");
  const bridge::State respelled = bridge::parse_state(bridge::serialize(top->root));
  require(same(state, respelled), "the state does not depend on the spelling");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_state(bridge::fuzz::as_bytes(data, size));
  return 0;
}
