#include "support/bridge_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bridge::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::vector<std::string> child_environment(const ProcessOptions& options) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The child's side of a start that posix_spawn cannot express (an ignored
// signal, a descriptor limit). Only async-signal-safe calls until exec.
[[noreturn]] void exec_child(const ProcessOptions& options, const int sources[3], char* const argv[],
                             char* const envp[]) {
  const bool closed[] = {options.close_stdin, options.close_stdout, options.close_stderr};
  for (int target = 0; target < 3; ++target) {
    if (closed[target]) {
      ::close(target);
    } else {
      ::dup2(sources[target], target);
    }
  }
  if (options.ignore_sigchld) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, nullptr);
  }
  for (const auto& [resource, limit] : options.limits) {
    if (::setrlimit(resource, &limit) != 0) ::_exit(126);
  }
  ::execve(argv[0], argv, envp);
  ::_exit(127);
}

}  // namespace

std::string bridge_binary() { return MCP_BRIDGE_BINARY; }

std::string stand_in_binary() { return STAND_IN_APP_BINARY; }

BridgeProcess::BridgeProcess(ProcessOptions options) {
  std::signal(SIGPIPE, SIG_IGN);
  if (options.program.empty()) options.program = bridge_binary();
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
      ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  // The flag belongs to the child's ends only: ours are other open files.
  if (options.nonblocking_stdio) {
    ::fcntl(in[0], F_SETFL, O_NONBLOCK);
    ::fcntl(out[1], F_SETFL, O_NONBLOCK);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const auto stream = [&](bool closed, int fd, int target) {
    if (closed) {
      posix_spawn_file_actions_addclose(&actions, target);
    } else {
      posix_spawn_file_actions_adddup2(&actions, fd, target);
    }
  };
  stream(options.close_stdin, in[0], 0);
  stream(options.close_stdout, out[1], 1);
  stream(options.close_stderr, err[1], 2);
  std::vector<std::string> env = child_environment(options);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = options.program;
  std::vector<char*> argv{program.data()};
  for (auto& arg : options.args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int rc = 0;
  if (options.ignore_sigchld || !options.limits.empty()) {
    const int sources[] = {in[0], out[1], err[1]};
    pid_ = ::fork();
    if (pid_ == 0) exec_child(options, sources, argv.data(), envp.data());
    if (pid_ < 0) rc = errno;
  } else {
    rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  stderr_ = err[0];
  if (rc != 0) throw std::runtime_error("spawn failed: " + program);
}

BridgeProcess::~BridgeProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  close_fd(stdin_);
  close_fd(stdout_);
  close_fd(stderr_);
}

bool BridgeProcess::write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void BridgeProcess::close_stdin() { close_fd(stdin_); }

void BridgeProcess::close_stdout_reader() { close_fd(stdout_); }

bool BridgeProcess::fill(std::chrono::milliseconds limit) {
  if (stdout_ < 0) return false;
  pollfd p{stdout_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(limit.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  char buf[65536];
  const ssize_t n = ::read(stdout_, buf, sizeof buf);
  if (n <= 0) {
    close_fd(stdout_);
    return false;
  }
  pending_.append(buf, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> BridgeProcess::read_line(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const size_t lf = pending_.find('\n', scanned_);
    if (lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      scanned_ = 0;
      return line;
    }
    scanned_ = pending_.size();
    if (!fill(std::chrono::milliseconds(remaining_ms(deadline)))) return std::nullopt;
  }
}

std::vector<std::string> BridgeProcess::read_all_lines(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::vector<std::string> lines;
  while (auto line = read_line(std::chrono::milliseconds(remaining_ms(deadline)))) {
    lines.push_back(std::move(*line));
  }
  return lines;
}

int BridgeProcess::wait(std::chrono::milliseconds limit) {
  if (status_) return *status_;
  const auto deadline = Clock::now() + limit;
  int raw = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) {
      status_ = -1;
      return -1;
    }
    if (Clock::now() > deadline) ::kill(pid_, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return *status_;
}

std::string BridgeProcess::stderr_text() {
  if (stderr_ >= 0) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(stderr_, buf, sizeof buf)) > 0) errors_.append(buf, static_cast<size_t>(n));
    close_fd(stderr_);
  }
  return errors_;
}

}  // namespace bridge::testing
