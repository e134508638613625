#include "launch.h"

#include "app.h"
#include "path.h"
#include "platform.h"
#include "child.h"
#include "text.h"

namespace bridge {
namespace {

bool names_bundle_program(std::string_view line, std::string_view expected_dir,
                          std::string_view own) {
  const auto parent = parent_path(line);
  if (!parent || !same_path(*parent, expected_dir)) return false;
  const auto name = file_name(line);
  return name && *name != own;
}

}  // namespace

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
  const std::string expected_dir = std::string(bundle) + "/Contents/MacOS";
  for (const std::string_view line : split_lines(ps_text)) {
    if (names_bundle_program(line, expected_dir, own_name)) return true;
  }
  return false;
}

std::string own_name() {
  const auto path = own_executable_path();
  if (!path) return std::string();
  const auto name = file_name(*path);
  return name ? lossy_utf8(*name) : std::string();
}

LaunchResult bundle_running(const std::string& bundle) {
  std::string listing;
  switch (run_capturing_output({"ps", "-xo", "comm="}, listing)) {
    case RunResult::kSucceeded: break;
    case RunResult::kFailed: return LaunchResult::kNotStarted;
    case RunResult::kNoResources: return LaunchResult::kNoResources;
  }
  return bundle_program_listed(lossy_utf8(listing), bundle, own_name()) ? LaunchResult::kRunning
                                                                        : LaunchResult::kNotStarted;
}

LaunchResult open_bundle(const std::string& bundle) {
  switch (run_to_stderr({"open", "-g", "-j", "-a", bundle, "--args", "--background", "--for-mcp"})) {
    case RunResult::kSucceeded: return LaunchResult::kRunning;
    case RunResult::kFailed: break;
    case RunResult::kNoResources: return LaunchResult::kNoResources;
  }
  return LaunchResult::kNotStarted;
}

// A running check that could not run says nothing: then nothing is opened.
Launcher make_launcher(std::optional<std::string> bundle) {
  if (!bundle) return [] { return LaunchResult::kNotStarted; };
  return [bundle = std::move(*bundle)] {
    const LaunchResult running = bundle_running(bundle);
    return running == LaunchResult::kNotStarted ? open_bundle(bundle) : running;
  };
}

}  // namespace bridge
