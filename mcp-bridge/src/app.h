// The application's side: where its settings live, what they say, where its
// bundle lies, and how it is started.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace bridge {

// Appends the relative `part` to `path` after a "/", unless `path` is empty or
// already ends with one.
std::string join_path(std::string path, std::string_view part);

// TORVELA_MCP_DIR when set (even empty), else HOME joined with
// "Library/Application Support" and "com.keldor.torvela", else nullopt.
// Null pointers stand for unset variables.
std::optional<std::string> resolve_settings_dir(const char* torvela_mcp_dir, const char* home);
// The same from the process environment; resolved once at start-up.
std::optional<std::string> settings_dir_from_environment();

struct ConnectionSettings {
  uint16_t port = 0;
  std::string token;
};

// What "mcp.json" says; the two halves are independent.
struct State {
  std::optional<ConnectionSettings> settings;
  /// settings.enabled when it is a JSON boolean.
  std::optional<bool> enabled;
};

// Reads the text of a settings file.
State parse_state(std::string_view text);
// Reads "<settings_dir>/mcp.json" afresh. Never fails: every problem shows as
// missing settings and an absent flag. Safe for concurrent use.
State state(const std::optional<std::string>& settings_dir);

// The nearest path, `resolved_path` itself first, whose extension is exactly
// "app"; nullopt when there is none.
std::optional<std::string> find_bundle(std::string_view resolved_path);
// The bundle that holds the running executable (its path resolved first).
std::optional<std::string> bundle_lookup();

// Brings the application up; true when a program of the bundle already runs
// or `open` succeeded. Callable from any thread.
using Launcher = std::function<bool()>;

// The bundle launcher for `bundle`, or the null launcher (always false) when
// there is none.
Launcher make_launcher(std::optional<std::string> bundle);

}  // namespace bridge
