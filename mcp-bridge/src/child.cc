#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <thread>

#include "io.h"
#include "platform.h"
#include "resources.h"

extern char** environ;

namespace bridge {
namespace {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

// A child is looked at after pauses that start short, since ps is done in
// some tens of milliseconds, and double up to the longest, so that one that
// takes seconds costs a few wake-ups a second. This is waitpid without
// blocking, the same on both systems and so tested here as it runs on the
// Mac; a child's end is thus seen at most one pause late, which against the
// seconds a launch takes does not count.
constexpr milliseconds kFirstPause = 1ms;
constexpr milliseconds kLongestPause = 50ms;
// A killed child is gone at once unless it is stuck in the kernel. Then it is
// left to become a zombie rather than hold the caller (and the launch lock)
// any longer.
constexpr milliseconds kReapGrace = 1s;
// What a child that has ended left in its pipe is there at once, a pipe's
// buffer at most (it cannot end while it still waits to write): this is only
// a limit against a process it left behind that goes on writing.
constexpr milliseconds kDrainLimit = 50ms;

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

RunResult how_it_ended(int status) {
  const bool zero = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return zero ? RunResult::kExitedZero : RunResult::kExitedOtherwise;
}

// How `pid` ended, or nullopt while it runs. A waitpid that fails for another
// reason than a signal means the child is no longer ours to wait for (reaped
// by someone else): how it ended cannot be learnt.
std::optional<RunResult> end_of(pid_t pid) {
  int status = 0;
  const pid_t done = ::waitpid(pid, &status, WNOHANG);
  if (done == pid) return how_it_ended(status);
  if (done < 0 && errno != EINTR) return RunResult::kExitedOtherwise;
  return std::nullopt;
}

// The growing pauses between looks, never past `deadline`.
class Pauses {
 public:
  explicit Pauses(Clock::time_point deadline) : deadline_(deadline) {}
  bool over() const { return Clock::now() >= deadline_; }
  milliseconds next() {
    const auto left = std::chrono::ceil<milliseconds>(deadline_ - Clock::now());
    const milliseconds pause = std::clamp(left, 0ms, next_);
    next_ = std::min(next_ * 2, kLongestPause);
    return pause;
  }

 private:
  Clock::time_point deadline_;
  milliseconds next_ = kFirstPause;
};

void sleep_for(milliseconds pause) { std::this_thread::sleep_for(pause); }

void reap_killed(pid_t pid) {
  Pauses pauses(Clock::now() + kReapGrace);
  while (!end_of(pid) && !pauses.over()) sleep_for(pauses.next());
}

// Waits for `pid` until `deadline`, spending each pause in `pass`, which
// returns within the time it is given. A child still running at the deadline
// is killed and reaped.
RunResult await_end(pid_t pid, Clock::time_point deadline,
                    const std::function<void(milliseconds)>& pass) {
  Pauses pauses(deadline);
  for (;;) {
    if (const auto result = end_of(pid)) return *result;
    if (pauses.over()) break;
    pass(pauses.next());
  }
  // Nothing is left to clean up in ps or open: SIGKILL at once rather than a
  // polite signal and a further grace.
  ::kill(pid, SIGKILL);
  reap_killed(pid);
  return RunResult::kTimedOut;
}

// A child's standard output, read while the child runs.
class Capture {
 public:
  Capture(int fd, std::string& output) : fd_(fd), output_(output) {}

  // Takes what arrives within `wait`; once the output has ended, only waits.
  void take(milliseconds wait) {
    if (!open_) {
      sleep_for(wait);
      return;
    }
    if (wait_until(fd_, POLLIN, deadline_after(wait)) == Wait::kReady) read_block();
  }

  // Takes what the pipe already holds, without waiting for more: a child
  // writes everything before it exits, and a process it left behind may
  // hold the pipe open for good. Until `deadline` at the latest, in case
  // such a process keeps writing.
  void drain(Clock::time_point deadline) {
    while (open_ && Clock::now() < deadline &&
           wait_until(fd_, POLLIN, Clock::now()) == Wait::kReady) {
      read_block();
    }
  }

 private:
  // End of output and a read error alike end reading; what came before stays.
  void read_block() {
    char buffer[4096];
    const IoResult read = read_once(fd_, buffer, sizeof buffer);
    if (read.status == Io::kMoved) {
      output_.append(buffer, read.bytes);
    } else {
      open_ = false;
    }
  }

  int fd_;
  std::string& output_;
  bool open_ = true;
};

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

RunResult wait_for_child(pid_t pid, milliseconds bound) {
  return await_end(pid, Clock::now() + bound, sleep_for);
}

RunResult run_capturing_output(const std::vector<std::string>& argv, milliseconds bound,
                               std::string& output) {
  const Fd null = open_null_device();
  if (!null) return start_failure(errno);
  int ends[2];
  if (!open_pipe(ends)) return start_failure(errno);
  Fd read_end(ends[0]);
  Fd write_end(ends[1]);
  int error = 0;
  const auto pid = spawn_program(argv, {null.get(), write_end.get(), null.get()}, &error);
  if (!pid) return start_failure(error);
  const auto deadline = Clock::now() + bound;
  // With our copy of the write end open, the pipe would never end.
  write_end.reset();
  Capture capture(read_end.get(), output);
  const RunResult result =
      await_end(*pid, deadline, [&capture](milliseconds wait) { capture.take(wait); });
  if (result != RunResult::kTimedOut) capture.drain(Clock::now() + kDrainLimit);
  return result;
}

RunResult run_to_stderr(const std::vector<std::string>& argv, milliseconds bound) {
  const Fd null = open_null_device();
  if (!null) return start_failure(errno);
  int error = 0;
  const auto pid = spawn_program(argv, {null.get(), STDERR_FILENO, STDERR_FILENO}, &error);
  if (!pid) return start_failure(error);
  return wait_for_child(*pid, bound);
}

}  // namespace bridge
