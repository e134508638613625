// Where the settings directory lies, what "mcp.json" says, and which bundle
// holds the running executable.
#include "app.h"

#include <chrono>
#include <cstdlib>
#include <thread>

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
// When the application rewrites the file in place, a reading can catch it
// empty or cut short. Writing a few hundred bytes is done well within this
// pause, so such a file is read once more after it before it counts as
// missing.
constexpr auto kRewritePause = std::chrono::milliseconds(50);

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
std::optional<ConnectionSettings> connection_settings(const JsonValue& top) {
  const JsonValue* port = member(&top, "port");
  const JsonValue* token = member(&top, "token");
  if (port == nullptr || !port->is_unsigned()) return std::nullopt;
  const uint64_t number = port->unsigned_number;
  if (number > kMaxPort) return std::nullopt;
  if (token == nullptr || !token->is_string()) return std::nullopt;
  const std::string_view text = token->string();
  if (!fits_header_line(text)) return std::nullopt;
  return ConnectionSettings{static_cast<uint16_t>(number), std::string(text)};
}

std::optional<bool> enabled_flag(const JsonValue& top) {
  const JsonValue* enabled = member(member(&top, "settings"), "enabled");
  if (enabled == nullptr || !enabled->is_boolean()) return std::nullopt;
  return enabled->boolean;
}

// nullopt when the text is not one JSON value. parse_json refuses invalid
// UTF-8 and a byte-order mark as well.
std::optional<State> parsed_state(std::string_view text) {
  const auto top = parse_json(text);
  if (!top) return std::nullopt;
  return State{connection_settings(top->root), enabled_flag(top->root), false};
}

// One reading of `file`; nullopt when it was read but does not parse (an
// empty file among others), which a rewrite under way looks like.
std::optional<State> read_state(const std::string& file) {
  std::string text;
  switch (read_regular_file(file, kMaxSettingsSize, text)) {
    case FileRead::kRead: return parsed_state(text);
    case FileRead::kUnreadable: return State{};
    case FileRead::kNoResources: break;
  }
  State unknown;
  unknown.out_of_resources = true;
  return unknown;
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

State parse_state(std::string_view text) { return parsed_state(text).value_or(State{}); }

State state(const std::optional<std::string>& settings_dir, const std::function<void()>& pause) {
  if (!settings_dir) return State{};
  const std::string file = join_path(*settings_dir, "mcp.json");
  if (std::optional<State> read = read_state(file)) return std::move(*read);
  pause();
  return read_state(file).value_or(State{});
}

State state(const std::optional<std::string>& settings_dir) {
  return state(settings_dir, [] { std::this_thread::sleep_for(kRewritePause); });
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
