// Reads, writes and waits on descriptors that may be non-blocking. A host can
// hand over its standard input or output with O_NONBLOCK set, and sockets are
// non-blocking by choice: a call that would block then fails with EAGAIN, and
// the caller waits for readiness instead. Every interrupted call is retried
// here, so that no caller ever sees EINTR.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <optional>

#include "buffer.h"

namespace bridge {

using Clock = std::chrono::steady_clock;

// When a wait gives up; nullopt: it waits for as long as it takes.
using Deadline = std::optional<Clock::time_point>;

// `limit` from now.
inline Deadline deadline_after(std::chrono::milliseconds limit) { return Clock::now() + limit; }

enum class Wait { kReady, kTimedOut, kFailed };

// Waits until `fd` reports one of `events` (POLLIN, POLLOUT) or an error
// condition, which the next call on it then reports, or until `deadline`.
// Signals neither end nor extend the wait. A descriptor that poll refuses
// while it is open (macOS poll does not support devices, a terminal among
// them, and reports POLLNVAL for them at once) is waited on with select.
Wait wait_until(int fd, short events, Deadline deadline);

// The wait of wait_until through select(2), for descriptors below
// FD_SETSIZE; kFailed for others.
Wait wait_with_select(int fd, short events, Deadline deadline);

// What one read or write came to.
enum class Io {
  /// `bytes` were moved (at least one).
  kMoved,
  /// A read found the end of input.
  kEnd,
  /// Nothing can move before the descriptor is ready (EAGAIN).
  kWouldBlock,
  /// Any other error; `error` holds its number.
  kFailed,
  /// The buffer to read into could not grow for lack of memory.
  kNoMemory,
};

struct IoResult {
  Io status = Io::kFailed;
  size_t bytes = 0;
  int error = 0;
};

// One read(2) into `size` bytes at `into`.
IoResult read_once(int fd, char* into, size_t size);

// One read into the room after `buffer`'s bytes, made first to hold at least
// `least` bytes; what arrives is added to the buffer.
IoResult read_into(int fd, ByteBuffer& buffer, size_t least);

// One writev(2) of `count` pieces.
IoResult write_once(int fd, const iovec* pieces, int count);

// One sendmsg(2) of `count` pieces to a socket, without the broken-pipe
// signal for a connection that is gone.
IoResult send_once(int fd, const iovec* pieces, int count);

// Drops the first `moved` bytes from `pieces`, advancing past emptied ones;
// gives the number of pieces still holding bytes, which then start at
// `pieces`.
int advance(iovec*& pieces, int count, size_t moved);

}  // namespace bridge
