// Runs the real mcp-bridge binary as a child with its standard streams on
// pipes, the way a host does.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bridge::testing {

// The built binary under test.
std::string bridge_binary();
// The built stand-in application, for tests that need it as a process of its
// own (to kill it, say).
std::string stand_in_binary();

struct ProcessOptions {
  /// Variables to set (or, with nullopt, to unset) in the child's environment.
  std::map<std::string, std::optional<std::string>> env;
  /// argv[0] and the file run; defaults to bridge_binary().
  std::string program;
  /// Arguments after argv[0].
  std::vector<std::string> args;
  /// Standard descriptors to leave closed in the child.
  bool close_stdin = false, close_stdout = false, close_stderr = false;
  /// What some hosts hand over across exec: SIGCHLD ignored, standard input
  /// and output non-blocking, and resource limits (RLIMIT_NOFILE, RLIMIT_AS).
  bool ignore_sigchld = false;
  bool nonblocking_stdio = false;
  std::map<int, rlimit> limits;
};

class BridgeProcess {
 public:
  explicit BridgeProcess(ProcessOptions options = {});
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Writes raw bytes to the child's standard input.
  bool write(const std::string& bytes);
  // Writes `line` and a line feed.
  bool send(const std::string& line) { return write(line + "\n"); }
  void close_stdin();
  void close_stdout_reader();
  // The next output line without its line feed; nullopt when none arrives in
  // time or output ended.
  std::optional<std::string> read_line(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Every line that arrives until output ends (bounded by `limit`).
  std::vector<std::string> read_all_lines(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Waits for the child (bounded; kills it past the limit) and gives its exit
  // status, or -1 when it did not exit normally.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // What the child wrote on standard error, once it has exited.
  std::string stderr_text();

 private:
  bool fill(std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::string pending_;
  /// Bytes at the front of pending_ known to hold no line feed, so that a
  /// long line is scanned once, not once per read.
  size_t scanned_ = 0;
  std::string errors_;
  std::optional<int> status_;
};

}  // namespace bridge::testing
