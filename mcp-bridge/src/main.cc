// The process entry: start-up in a fixed order, then the reading loop.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>

#include "app.h"
#include "forward.h"
#include "loop.h"
#include "output.h"
#include "platform.h"

namespace {

// Enough for the deepest message (127 levels) many times over; small enough
// that the stacks of a burst of workers are reused instead of mapped anew.
constexpr size_t kWorkerStack = 512 * 1024;

// A closed standard descriptor would be taken by the next socket or file the
// bridge opens, and replies would then go into that. The null device fills
// any gap: reading it ends input at once, writing to it loses the line.
void fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

}  // namespace

int main() {
  // Writing to a closed pipe or a shut-down connection must fail, not kill us.
  std::signal(SIGPIPE, SIG_IGN);
  // A parent that ignores SIGCHLD hands that on across exec; the system would
  // then reap our children itself, and the launcher could never learn that
  // `open` succeeded.
  std::signal(SIGCHLD, SIG_DFL);
  fill_standard_descriptors();
  bridge::raise_descriptor_limit();
  bridge::keep_freed_memory();
  bridge::set_thread_stack_size(kWorkerStack);

  auto bridge = std::make_shared<bridge::Bridge>(bridge::settings_dir_from_environment(),
                                                 bridge::make_launcher(bridge::bundle_lookup()));
  auto output = std::make_shared<bridge::Output>(STDOUT_FILENO);
  // Every message is admitted on the reading thread before it is forwarded,
  // inline or on a worker; see forward.h.
  bridge::Forwarder forwarder(
      [bridge](const bridge::Json& message) { bridge::admit(*bridge, message); },
      [bridge](const bridge::Json& message) { return bridge::forward_admitted(*bridge, message); },
      [bridge](const bridge::Json& message) { return bridge::refuse(*bridge, message); });
  return bridge::run_loop(STDIN_FILENO, std::move(output), std::move(forwarder));
}
