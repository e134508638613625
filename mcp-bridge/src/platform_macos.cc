// macOS implementation of the platform interface.
#include <fcntl.h>
#include <limits.h>
#include <mach-o/dyld.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform.h"

namespace bridge {
namespace {

bool set_cloexec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

}  // namespace

std::optional<std::string> own_executable_path() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buf(size + 1);
  if (_NSGetExecutablePath(buf.data(), &size) != 0) return std::nullopt;
  if (buf[0] == '\0') return std::nullopt;
  return std::string(buf.data());
}

// macOS has no SOCK_CLOEXEC; children are spawned with
// POSIX_SPAWN_CLOEXEC_DEFAULT, so the short window before fcntl cannot leak.
int open_tcp_socket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  const int on = 1;
  if (!set_cloexec(fd) || ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool open_pipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  if (set_cloexec(fds[0]) && set_cloexec(fds[1])) return true;
  // The caller learns why fcntl failed, not what close says.
  const int error = errno;
  ::close(fds[0]);
  ::close(fds[1]);
  errno = error;
  return false;
}

int no_sigpipe_flags() { return 0; }

int inherit_only_named_descriptors(posix_spawnattr_t* attributes) {
  short flags = 0;
  if (const int error = posix_spawnattr_getflags(attributes, &flags); error != 0) return error;
  flags = static_cast<short>(flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
  return posix_spawnattr_setflags(attributes, flags);
}

// The system takes no soft limit above OPEN_MAX (an unlimited hard limit
// included), and may hold a process to kern.maxfilesperproc, which can be
// lower: halving finds a value it takes.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  for (rlim_t target = std::min<rlim_t>(limit.rlim_max, OPEN_MAX); target > limit.rlim_cur;
       target /= 2) {
    rlimit raised{target, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return;
  }
}

// Threads other than the main one get 512 KiB there already.
void set_thread_stack_size(size_t) {}

// Nothing to do: the system allocator keeps freed small blocks in its
// magazines and recently freed large blocks in a cache of its own, and it
// has no public setting like glibc's thresholds.
void keep_freed_memory() {}

}  // namespace bridge
