// Child processes: started through the executable search path with chosen
// standard descriptors, and always waited for, each within a bound of its
// own.
#pragma once

#include <sys/types.h>

#include <chrono>
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
  /// It was still running when its bound passed; it has been killed and
  /// reaped. One that ends in the very moment its bound passes counts here.
  kTimedOut,
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

// Waits at most `bound` for the child `pid` to end: kExitedZero,
// kExitedOtherwise, or kTimedOut once it has been killed and reaped.
RunResult wait_for_child(pid_t pid, std::chrono::milliseconds bound);

// Runs `argv` with standard input and standard error on the null device, for
// at most `bound`, and appends what it wrote on standard output to `output`.
// Reading ends with the child: output that a process it left behind still
// holds open never delays the return.
RunResult run_capturing_output(const std::vector<std::string>& argv,
                               std::chrono::milliseconds bound, std::string& output);

// Runs `argv` for at most `bound` with standard input on the null device and
// both its outputs on the bridge's standard error, so that nothing it prints
// can mix with the replies on standard output.
RunResult run_to_stderr(const std::vector<std::string>& argv, std::chrono::milliseconds bound);

}  // namespace bridge
