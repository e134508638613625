// The pieces of the bundle launcher (make_launcher in app.h), apart so that
// the pure ones can be tried on given text.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "app.h"

namespace bridge {

// Lines of `text`, each without its line feed and a carriage return right
// before it; a last piece without a line feed counts when not empty. Nothing
// else is trimmed.
std::vector<std::string_view> split_lines(std::string_view text);

// `path` as macOS ps prints it in the C locale, which a host's minimal
// environment gives: through strvis(VIS_TAB | VIS_NL | VIS_NOSLASH), so every
// byte beyond ASCII and every control byte is written in vis's visible form
// without a backslash ("M-CM-<" for the two bytes of "ü", "^I" for a tab).
std::string ps_spelling(std::string_view path);

// True when a line of `ps_text` (one executable path per line) names a
// program lying directly in "<bundle>/Contents/MacOS" under a name other than
// `own_name`: some other program of the bundle, not a copy of the bridge.
// Paths are recognised as they are and in their ps_spelling.
bool bundle_program_listed(std::string_view ps_text, std::string_view bundle,
                           std::string_view own_name);

// The last component of the path by which the bridge was started, links not
// resolved, with invalid UTF-8 replaced; empty when unknown.
std::string own_name();

// kAlreadyRunning when `ps` lists another program of the bundle among the
// current user's processes. kNotStarted when it lists none, cannot be
// started otherwise, or does not end within `bound`: then it cannot tell, and
// open is still safe, since `open -a` brings a running application forward
// instead of starting a second one. kNoResources when it cannot be started
// for lack of resources.
LaunchResult bundle_running(const std::string& bundle, std::chrono::milliseconds bound);

// Opens the bundle hidden and in the background; kOpened when `open` exits
// with status 0 or is still running at `bound`.
LaunchResult open_bundle(const std::string& bundle, std::chrono::milliseconds bound);

}  // namespace bridge
