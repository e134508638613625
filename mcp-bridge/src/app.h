// The application's side: where its settings live, what they say, where its
// bundle lies, and how it is started.
#pragma once

#include <chrono>
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

// What "mcp.json" says. The connection settings and the flag are read
// independently of each other: a file can give either without the other.
struct State {
  /// Port and token, when both are acceptable.
  std::optional<ConnectionSettings> settings;
  /// settings.enabled when it is a JSON boolean.
  std::optional<bool> enabled;
  /// The file could not be read for lack of descriptors or memory: the two
  /// fields above are empty, and nothing is known about the application.
  bool out_of_resources = false;
};

// Reads the text of a settings file.
State parse_state(std::string_view text);
// Reads "<settings_dir>/mcp.json" afresh. Never fails: every problem shows as
// missing settings and an absent flag, a lack of resources in addition as
// out_of_resources. Only a regular file of at most 1 MiB is read. A file that
// is read but does not parse, an empty one included, may be caught in the
// middle of a rewrite: it is read once more after a pause of 50 ms. Safe for
// concurrent use.
State state(const std::optional<std::string>& settings_dir);
// The same with `pause` run instead of the 50 ms pause, for tests.
State state(const std::optional<std::string>& settings_dir, const std::function<void()>& pause);

// The nearest path, `resolved_path` itself first, whose extension is exactly
// "app"; nullopt when there is none.
std::optional<std::string> find_bundle(std::string_view resolved_path);
// The bundle that holds the running executable (its path resolved first).
std::optional<std::string> bundle_lookup();

// What a launcher call came to.
enum class LaunchResult {
  /// `ps` lists a program of the bundle: nothing was opened.
  kAlreadyRunning,
  /// `open` was run on the bundle and exited with status 0, or was still
  /// running at its bound: the launch it asked for may still come.
  kOpened,
  /// There is no bundle, or `open` failed or could not be started.
  kNotStarted,
  /// `ps` or `open` could not be started for lack of descriptors, memory or
  /// processes: nothing was launched, and nothing is known of the application.
  kNoResources,
};

// Brings the application up. Callable from any thread.
using Launcher = std::function<LaunchResult()>;

// How long the bundle launcher lets each command run before it kills it; the
// launch lock is held that long at most. Together with the 2 s connect before
// and the 15 s wait after a launch, a request that must launch has its answer
// or its error within about 30 s.
struct LaunchBounds {
  /// ps lists the current user's processes in some tens of milliseconds; a
  /// few seconds leave ample room on a loaded machine.
  std::chrono::milliseconds ps = std::chrono::seconds(3);
  /// open hands the bundle to Launch Services, which on a cold machine can
  /// take several seconds to answer. Past this, the launch it asked for may
  /// still happen, so the wait that follows decides.
  std::chrono::milliseconds open = std::chrono::seconds(10);
};

// The bundle launcher for `bundle`, or the null launcher (always kNotStarted)
// when there is none. The product uses the default bounds; tests shorten them.
Launcher make_launcher(std::optional<std::string> bundle, LaunchBounds bounds = LaunchBounds());

}  // namespace bridge
