#include "launch.h"

#include "app.h"
#include "path.h"
#include "platform.h"
#include "child.h"
#include "text.h"

namespace bridge {
namespace {

// A path and its ps_spelling; the same text twice when it is plain ASCII.
struct Spellings {
  std::string raw;
  std::string spelled;
};

Spellings spellings(std::string_view path) { return {std::string(path), ps_spelling(path)}; }

bool is_either(const Spellings& s, std::string_view text) {
  return text == s.raw || text == s.spelled;
}

bool same_path_as_either(std::string_view path, const Spellings& s) {
  return same_path(path, s.raw) || same_path(path, s.spelled);
}

// strvis's form of one byte, VIS_NOSLASH: a byte whose low seven bits make a
// space is written in octal with a backslash all the same.
void append_visible(std::string& out, unsigned char byte) {
  if (byte >= 0x20 && byte < 0x7F) {
    out += static_cast<char>(byte);
    return;
  }
  if ((byte & 0x7F) == ' ') {
    const char octal[] = {'\\', static_cast<char>('0' + (byte >> 6)),
                          static_cast<char>('0' + ((byte >> 3) & 7)),
                          static_cast<char>('0' + (byte & 7))};
    out.append(octal, sizeof octal);
    return;
  }
  if (byte & 0x80) out += 'M';
  const unsigned char low = byte & 0x7F;
  if (low < 0x20 || low == 0x7F) {
    out += '^';
    out += low == 0x7F ? '?' : static_cast<char>(low + '@');
  } else {
    out += '-';
    out += static_cast<char>(low);
  }
}

bool names_bundle_program(std::string_view line, const Spellings& expected_dir,
                          const Spellings& own) {
  const auto parent = parent_path(line);
  if (!parent || !same_path_as_either(*parent, expected_dir)) return false;
  const auto name = file_name(line);
  return name && !is_either(own, *name);
}

}  // namespace

std::string ps_spelling(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (const char c : path) append_visible(out, static_cast<unsigned char>(c));
  return out;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

bool bundle_program_listed(std::string_view ps_text, std::string_view bundle,
                           std::string_view own_name) {
  const Spellings expected_dir = spellings(std::string(bundle) + "/Contents/MacOS");
  const Spellings own = spellings(own_name);
  for (const std::string_view line : split_lines(ps_text)) {
    if (names_bundle_program(line, expected_dir, own)) return true;
  }
  return false;
}

std::string own_name() {
  const auto path = own_executable_path();
  if (!path) return std::string();
  const auto name = file_name(*path);
  return name ? lossy_utf8(*name) : std::string();
}

LaunchResult bundle_running(const std::string& bundle, std::chrono::milliseconds bound) {
  std::string listing;
  switch (run_capturing_output({"ps", "-xo", "comm="}, bound, listing)) {
    case RunResult::kExitedZero:
    case RunResult::kExitedOtherwise: break;  // what it listed counts all the same
    case RunResult::kTimedOut:
    case RunResult::kNotStarted: return LaunchResult::kNotStarted;
    case RunResult::kNoResources: return LaunchResult::kNoResources;
  }
  return bundle_program_listed(lossy_utf8(listing), bundle, own_name())
             ? LaunchResult::kAlreadyRunning
             : LaunchResult::kNotStarted;
}

LaunchResult open_bundle(const std::string& bundle, std::chrono::milliseconds bound) {
  const std::vector<std::string> command = {"open",   "-g",           "-j",       "-a", bundle,
                                            "--args", "--background", "--for-mcp"};
  switch (run_to_stderr(command, bound)) {
    case RunResult::kExitedZero:
    case RunResult::kTimedOut: return LaunchResult::kOpened;
    case RunResult::kExitedOtherwise:
    case RunResult::kNotStarted: break;
    case RunResult::kNoResources: return LaunchResult::kNoResources;
  }
  return LaunchResult::kNotStarted;
}

// A running check that found no program of the bundle, or could not tell (ps
// missing or past its bound), is followed by open. One that could not start
// for lack of resources opens nothing: open would lack them too.
Launcher make_launcher(std::optional<std::string> bundle, LaunchBounds bounds) {
  if (!bundle) return [] { return LaunchResult::kNotStarted; };
  return [bundle = std::move(*bundle), bounds] {
    const LaunchResult running = bundle_running(bundle, bounds.ps);
    return running == LaunchResult::kNotStarted ? open_bundle(bundle, bounds.open) : running;
  };
}

}  // namespace bridge
