#include "child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"
#include "read_all.h"
#include "resources.h"

extern char** environ;

namespace bridge {
namespace {

// The two option objects of posix_spawn, destroyed with the scope that made
// them.
struct FileActions {
  FileActions() : ready(posix_spawn_file_actions_init(&value) == 0) {}
  ~FileActions() {
    if (ready) posix_spawn_file_actions_destroy(&value);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t value;
  bool ready;
};

struct Attributes {
  Attributes() : ready(posix_spawnattr_init(&value) == 0) {}
  ~Attributes() {
    if (ready) posix_spawnattr_destroy(&value);
  }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
  posix_spawnattr_t value;
  bool ready;
};

// Every standard descriptor is named, even one passed on unchanged: on macOS
// the child keeps nothing else. The dup2s run in order 0, 1, 2, so a source
// must not be 0 or 1; callers pass descriptor 2 or ones above 2.
bool name_standard_streams(posix_spawn_file_actions_t* actions, StandardStreams streams) {
  const int sources[] = {streams.input, streams.output, streams.error};
  for (int target = 0; target < 3; ++target) {
    if (posix_spawn_file_actions_adddup2(actions, sources[target], target) != 0) return false;
  }
  return true;
}

// The bridge ignores SIGPIPE for itself and a thread may block signals; the
// child starts with neither.
bool reset_signals(posix_spawnattr_t* attributes) {
  sigset_t to_default;
  sigset_t none;
  sigemptyset(&to_default);
  sigaddset(&to_default, SIGPIPE);
  sigemptyset(&none);
  return posix_spawnattr_setsigdefault(attributes, &to_default) == 0 &&
         posix_spawnattr_setsigmask(attributes, &none) == 0 &&
         posix_spawnattr_setflags(attributes,
                                  static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK)) == 0;
}

// Starting a child needs descriptors for its streams, memory, and a free
// process slot (EAGAIN from the fork inside the spawn).
RunResult start_failure(int error) {
  return is_resource_error(error) || error == EAGAIN ? RunResult::kNoResources
                                                     : RunResult::kNotStarted;
}

RunResult how_it_ended(std::optional<int> status) {
  const bool zero = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  return zero ? RunResult::kExitedZero : RunResult::kExitedOtherwise;
}

}  // namespace

Fd open_null_device() { return Fd(::open("/dev/null", O_RDWR | O_CLOEXEC)); }

std::optional<pid_t> spawn_program(const std::vector<std::string>& argv, StandardStreams streams,
                                   int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  // The option objects fail only for want of memory.
  *error = ENOMEM;
  FileActions actions;
  Attributes attributes;
  if (!actions.ready || !attributes.ready) return std::nullopt;
  // The descriptor rule comes last: on macOS it adds to the flags set before.
  if (!name_standard_streams(&actions.value, streams) || !reset_signals(&attributes.value) ||
      inherit_only_named_descriptors(&attributes.value) != 0) {
    return std::nullopt;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  *error = posix_spawnp(&pid, args[0], &actions.value, &attributes.value, args.data(), environ);
  if (*error != 0) return std::nullopt;
  return pid;
}

std::optional<int> wait_for_child(pid_t pid) {
  int status = 0;
  for (;;) {
    if (::waitpid(pid, &status, 0) == pid) return status;
    if (errno != EINTR) return std::nullopt;
  }
}

RunResult run_capturing_output(const std::vector<std::string>& argv, std::string& output) {
  const Fd null = open_null_device();
  if (!null) return start_failure(errno);
  int ends[2];
  if (!open_pipe(ends)) return start_failure(errno);
  Fd read_end(ends[0]);
  Fd write_end(ends[1]);
  int error = 0;
  const auto pid = spawn_program(argv, {null.get(), write_end.get(), null.get()}, &error);
  if (!pid) return start_failure(error);
  // With our copy of the write end open, the read would never see the end.
  write_end.reset();
  read_to_end(read_end.get(), output);  // after a read error, what came before
  // Closed before the wait, so a child still writing ends instead of blocking.
  read_end.reset();
  return how_it_ended(wait_for_child(*pid));
}

RunResult run_to_stderr(const std::vector<std::string>& argv) {
  const Fd null = open_null_device();
  if (!null) return start_failure(errno);
  int error = 0;
  const auto pid = spawn_program(argv, {null.get(), STDERR_FILENO, STDERR_FILENO}, &error);
  if (!pid) return start_failure(error);
  return how_it_ended(wait_for_child(*pid));
}

}  // namespace bridge
