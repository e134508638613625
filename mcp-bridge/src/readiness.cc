#include "readiness.h"

#include <poll.h>

#include <cerrno>

namespace bridge {

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool wait_until_ready(int fd, short events) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, -1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace bridge
