// Linux stand-ins for the platform interface.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform.h"

namespace bridge {

std::optional<std::string> own_executable_path() {
  // The path handed to exec, as macOS reports it; /proc/self/exe would
  // already have its links resolved.
  const auto* path = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (path == nullptr || *path == '\0') return std::nullopt;
  return std::string(path);
}

int open_tcp_socket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

bool open_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

int no_sigpipe_flags() { return MSG_NOSIGNAL; }

int inherit_only_named_descriptors(posix_spawnattr_t*) { return 0; }

// The hard limit itself, which the kernel never sets above fs.nr_open. Should
// it be unlimited all the same, halving finds a value the kernel takes.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  for (rlim_t target = limit.rlim_max; target > limit.rlim_cur; target /= 2) {
    rlimit raised{target, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return;
  }
}

void set_thread_stack_size(size_t bytes) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return;
  // A refusal leaves the default, which works, only slower.
  if (pthread_attr_setstacksize(&attributes, bytes) == 0) pthread_setattr_default_np(&attributes);
  pthread_attr_destroy(&attributes);
}

void keep_freed_memory() {
  // Blocks up to 32 MiB (the most glibc allows) come from the heap instead of
  // fresh mappings that are unmapped again on free, and the heap is not
  // trimmed below 256 MiB of free room. A 10 MB answer's buffers are thus
  // faulted in once per process, not once per request.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  // One heap for all threads. glibc gives a thread that starts while another
  // still frees a big answer an arena of its own, and unmaps such an arena's
  // 64 MiB pieces whenever they empty, whatever the thresholds above say, so
  // a large tree was faulted in afresh on every request. The small requests
  // of many threads at once showed no loss of throughput from sharing it.
  mallopt(M_ARENA_MAX, 1);
}

}  // namespace bridge
