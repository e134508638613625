#include "io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform.h"

namespace bridge {
namespace {

using std::chrono::milliseconds;

// poll's timeout for `deadline`: -1 for none, never negative otherwise.
int poll_timeout(Deadline deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<milliseconds>(*deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

IoResult result_of(ssize_t n) {
  if (n > 0) return {Io::kMoved, static_cast<size_t>(n), 0};
  if (n == 0) return {Io::kEnd, 0, 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::kWouldBlock, 0, errno};
  return {Io::kFailed, 0, errno};
}

// Repeats `call` while a signal interrupts it.
template <typename Call>
IoResult retrying(Call call) {
  for (;;) {
    const ssize_t n = call();
    if (n >= 0 || errno != EINTR) return result_of(n);
  }
}

}  // namespace

Wait wait_until(int fd, short events, Deadline deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, poll_timeout(deadline));
    if (ready > 0) {
      if ((entry.revents & POLLNVAL) == 0) return Wait::kReady;
      return is_open(fd) ? wait_with_select(fd, events, deadline) : Wait::kFailed;
    }
    if (ready < 0 && errno != EINTR) return Wait::kFailed;
    if (ready == 0 && deadline && Clock::now() >= *deadline) return Wait::kTimedOut;
  }
}

Wait wait_with_select(int fd, short events, Deadline deadline) {
  if (fd < 0 || fd >= FD_SETSIZE) return Wait::kFailed;
  for (;;) {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (events & POLLIN) FD_SET(fd, &readable);
    if (events & POLLOUT) FD_SET(fd, &writable);
    FD_SET(fd, &failed);
    timeval left{};
    timeval* timeout = nullptr;
    if (deadline) {
      const int ms = poll_timeout(deadline);
      left.tv_sec = ms / 1000;
      left.tv_usec = (ms % 1000) * 1000;
      timeout = &left;
    }
    const int ready = ::select(fd + 1, &readable, &writable, &failed, timeout);
    if (ready > 0) return Wait::kReady;
    if (ready < 0 && errno != EINTR) return Wait::kFailed;
    if (ready == 0 && deadline && Clock::now() >= *deadline) return Wait::kTimedOut;
  }
}

IoResult read_once(int fd, char* into, size_t size) {
  return retrying([&] { return ::read(fd, into, size); });
}

IoResult read_into(int fd, ByteBuffer& buffer, size_t least) {
  if (!make_room(buffer, least)) return {Io::kNoMemory, 0, ENOMEM};
  const IoResult result = read_once(fd, buffer.end(), buffer.room());
  if (result.status == Io::kMoved) buffer.size += result.bytes;
  return result;
}

IoResult write_once(int fd, const iovec* pieces, int count) {
  return retrying([&] { return ::writev(fd, pieces, count); });
}

IoResult send_once(int fd, const iovec* pieces, int count) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(pieces);
  message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
  return retrying([&] { return ::sendmsg(fd, &message, no_sigpipe_flags()); });
}

int advance(iovec*& pieces, int count, size_t moved) {
  while (count > 0 && moved >= pieces->iov_len) {
    moved -= pieces->iov_len;
    ++pieces;
    --count;
  }
  if (count > 0) {
    pieces->iov_base = static_cast<char*>(pieces->iov_base) + moved;
    pieces->iov_len -= moved;
  }
  return count;
}

}  // namespace bridge
