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

using bridge::Json;
using bridge::fuzz::require;

// A token goes into the Authorization line as it stands.
bool fits_header_line(std::string_view token) {
  for (const char c : token) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0x7F || (byte < 0x20 && byte != '\t')) return false;
  }
  return true;
}

const Json* find(const Json* value, const char* name) {
  if (value == nullptr || !value->is_object() || !value->contains(name)) return nullptr;
  return &(*value)[name];
}

// The port and token the file's rules give for `top`: a port written as a
// plain integer up to 65535, a token that can stand in a header line.
std::optional<bridge::ConnectionSettings> expected_settings(const Json& top) {
  const Json* port = find(&top, "port");
  const Json* token = find(&top, "token");
  if (port == nullptr || !port->is_number_unsigned() || port->get<uint64_t>() > 65535) {
    return std::nullopt;
  }
  if (token == nullptr || !token->is_string()) return std::nullopt;
  const auto& text = token->get_ref<const std::string&>();
  if (!fits_header_line(text)) return std::nullopt;
  return bridge::ConnectionSettings{static_cast<uint16_t>(port->get<uint64_t>()), text};
}

std::optional<bool> expected_enabled(const Json& top) {
  const Json* enabled = find(find(&top, "settings"), "enabled");
  if (enabled == nullptr || !enabled->is_boolean()) return std::nullopt;
  return enabled->get<bool>();
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
  const bridge::State expected{expected_settings(*top), expected_enabled(*top)};
  require(same(state, expected), "the state is what the JSON tree says");
  const bridge::State respelled = bridge::parse_state(bridge::serialize(*top));
  require(same(state, respelled), "the state does not depend on the spelling");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_state(bridge::fuzz::as_bytes(data, size));
  return 0;
}
