// Where the settings directory lies, what "mcp.json" says, and which bundle
// holds the running executable.
#include "app.h"

#include <cstdlib>

#include "json.h"
#include "path.h"
#include "platform.h"
#include "read_all.h"

namespace bridge {
namespace {

constexpr uint64_t kMaxPort = 65535;
// The application writes a few hundred bytes; anything much larger is not its
// settings file, and reading it whole on every request would cost too much.
constexpr size_t kMaxSettingsSize = size_t{1} << 20;

// The token goes into a header line as it stands: a control character there
// would end the line or corrupt it. Tab is allowed within header values.
bool fits_header_line(std::string_view token) {
  for (const char c : token) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return false;
  }
  return true;
}

// Only an integer written without sign, fraction or exponent is a port; the
// parser keeps exactly those as unsigned numbers.
std::optional<ConnectionSettings> connection_settings(const Json& top) {
  const Json* port = member(&top, "port");
  const Json* token = member(&top, "token");
  if (port == nullptr || !port->is_number_unsigned()) return std::nullopt;
  const auto number = port->get<uint64_t>();
  if (number > kMaxPort) return std::nullopt;
  if (token == nullptr || !token->is_string()) return std::nullopt;
  const auto& text = token->get_ref<const std::string&>();
  if (!fits_header_line(text)) return std::nullopt;
  return ConnectionSettings{static_cast<uint16_t>(number), text};
}

std::optional<bool> enabled_flag(const Json& top) {
  const Json* enabled = member(member(&top, "settings"), "enabled");
  if (enabled == nullptr || !enabled->is_boolean()) return std::nullopt;
  return enabled->get<bool>();
}

}  // namespace

std::string join_path(std::string path, std::string_view part) {
  if (!path.empty() && path.back() != '/') path += '/';
  path += part;
  return path;
}

std::optional<std::string> resolve_settings_dir(const char* torvela_mcp_dir, const char* home) {
  if (torvela_mcp_dir != nullptr) return std::string(torvela_mcp_dir);
  if (home == nullptr) return std::nullopt;
  return join_path(join_path(home, "Library/Application Support"), "com.keldor.torvela");
}

std::optional<std::string> settings_dir_from_environment() {
  return resolve_settings_dir(std::getenv("TORVELA_MCP_DIR"), std::getenv("HOME"));
}

// parse_json refuses invalid UTF-8 and a byte-order mark as well.
State parse_state(std::string_view text) {
  const auto top = parse_json(text);
  if (!top) return State{};
  return State{connection_settings(*top), enabled_flag(*top), false};
}

State state(const std::optional<std::string>& settings_dir) {
  if (!settings_dir) return State{};
  std::string text;
  switch (read_regular_file(join_path(*settings_dir, "mcp.json"), kMaxSettingsSize, text)) {
    case FileRead::kRead: return parse_state(text);
    case FileRead::kUnreadable: break;
    case FileRead::kNoResources: {
      State unknown;
      unknown.out_of_resources = true;
      return unknown;
    }
  }
  return State{};
}

std::optional<std::string> find_bundle(std::string_view resolved_path) {
  std::optional<std::string_view> candidate = resolved_path;
  // Each parent is a strictly shorter prefix, so this ends.
  while (candidate) {
    if (extension(*candidate) == "app") return std::string(*candidate);
    candidate = parent_path(*candidate);
  }
  return std::nullopt;
}

std::optional<std::string> bundle_lookup() {
  const auto own = own_executable_path();
  if (!own) return std::nullopt;
  char* resolved = ::realpath(own->c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  const std::string path(resolved);
  std::free(resolved);
  return find_bundle(path);
}

}  // namespace bridge
