// Waiting, without a time limit, for a descriptor that may be non-blocking.
// A host can hand the bridge its standard input or output with O_NONBLOCK set;
// a read or write that would block then fails with EAGAIN instead of waiting.
#pragma once

namespace bridge {

// True for EAGAIN and EWOULDBLOCK.
bool would_block(int error);

// Waits until `fd` reports one of `events` (POLLIN, POLLOUT) or an error
// condition, which the next call on it then reports. False only when poll
// itself fails; interrupting signals are waited through.
bool wait_until_ready(int fd, short events);

}  // namespace bridge
