// Child processes: started through the executable search path with chosen
// standard descriptors, and always waited for.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "fd.h"

namespace bridge {

// What the child gets as descriptors 0, 1 and 2.
struct StandardStreams {
  int input;
  int output;
  int error;
};

// How running a child came out.
enum class RunResult {
  /// It exited normally with status 0.
  kExitedZero,
  /// It exited with another status or was ended by a signal, or its end
  /// could not be learnt.
  kExitedOtherwise,
  /// It could not be started (not found, not executable).
  kNotStarted,
  /// It could not be started for lack of descriptors, memory or processes,
  /// which says nothing about the program.
  kNoResources,
};

// The null device, read and write, close-on-exec; empty Fd, with errno set,
// on failure.
Fd open_null_device();

// Starts `argv[0]`, found through PATH, with `argv`, the bridge's environment
// and working directory, and `streams` as its standard descriptors; nothing
// else is inherited. Neither `streams.output` nor `streams.error` may be 0 or
// 1. The child's pid, or nullopt when it cannot be started; then `*error`,
// when given, holds the error number.
// REQUIRES: `argv` is not empty.
std::optional<pid_t> spawn_program(const std::vector<std::string>& argv, StandardStreams streams,
                                   int* error = nullptr);

// Waits for `pid` to end and gives its wait status; nullopt when waitpid
// fails for another reason than an interrupting signal.
std::optional<int> wait_for_child(pid_t pid);

// Runs `argv` with standard input and standard error on the null device and
// appends all it wrote on standard output to `output`.
RunResult run_capturing_output(const std::vector<std::string>& argv, std::string& output);

// Runs `argv` with standard input on the null device and both its outputs on
// the bridge's standard error, so that nothing it prints can mix with the
// replies on standard output.
RunResult run_to_stderr(const std::vector<std::string>& argv);

}  // namespace bridge
