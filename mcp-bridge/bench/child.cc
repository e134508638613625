#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

extern char** environ;

namespace bench {

Child::Child(const std::string& program, const std::string& settings_dir) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return;
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TORVELA_MCP_DIR=", 16) != 0) env.emplace_back(*e);
  }
  env.push_back("TORVELA_MCP_DIR=" + settings_dir);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string argv0 = program;
  char* argv[] = {argv0.data(), nullptr};
  if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  in_ = in[1];
  out_ = out[0];
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
}

bool Child::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::optional<std::string_view> Child::read_line(std::chrono::milliseconds limit) {
  if (begin_ > 0) {
    buffer_.erase(0, begin_);
    begin_ = 0;
  }
  for (;;) {
    const size_t lf = buffer_.find('\n', scanned_);
    if (lf != std::string::npos) {
      begin_ = lf + 1;
      scanned_ = 0;
      return std::string_view(buffer_).substr(0, lf);
    }
    scanned_ = buffer_.size();
    pollfd watch{out_, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    const size_t old = buffer_.size();
    buffer_.resize(old + (1 << 16));
    const ssize_t n = ::read(out_, buffer_.data() + old, 1 << 16);
    buffer_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n <= 0) return std::nullopt;
  }
}

int Child::finish() {
  ::close(in_);
  in_ = -1;
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

size_t status_kib(pid_t pid, std::string_view field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
        line[field.size()] == ':') {
      return std::stoul(line.substr(field.size() + 1));
    }
  }
  return 0;
}

}  // namespace bench
