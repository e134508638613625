#include "tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <iterator>
#include <new>

#include "platform.h"
#include "readiness.h"
#include "resources.h"

namespace bridge {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Most answers are small: the first read takes them whole without a large
// block per request.
constexpr size_t kFirstRead = size_t{4} << 10;
// Once an answer outgrows that, large reads keep the number of system calls
// low.
constexpr size_t kReadChunk = size_t{64} << 10;
// A larger announced size gets no room up front; the buffer still grows to
// whatever arrives.
constexpr size_t kLargestPresized = size_t{1} << 30;

enum class Wait { kReady, kTimedOut, kFailed };

int poll_timeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Waits until `fd` reports one of `events` or an error condition (which the
// next call on it then reports), at most until `deadline`. Signals do not
// extend the wait: the time left is recomputed after each.
Wait wait_until(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, poll_timeout(deadline));
    if (ready > 0) return Wait::kReady;
    if (ready < 0 && errno != EINTR) return Wait::kFailed;
    if (ready == 0 && Clock::now() >= deadline) return Wait::kTimedOut;
  }
}

Wait wait_for(int fd, short events, milliseconds limit) {
  return wait_until(fd, events, Clock::now() + limit);
}

// Drops the first `written` bytes from the pieces starting at `iov[first]`;
// returns the index of the first piece with bytes left.
size_t advance(iovec* iov, size_t count, size_t first, size_t written) {
  while (first < count && written >= iov[first].iov_len) {
    written -= iov[first].iov_len;
    ++first;
  }
  if (first < count) {
    iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + written;
    iov[first].iov_len -= written;
  }
  return first;
}

// Moves the received bytes into a block of `capacity`; false, the buffer
// unchanged, when no such block can be had.
bool move_to_block(ByteBuffer& buffer, size_t capacity) {
  std::unique_ptr<char[]> data(new (std::nothrow) char[capacity]);
  if (!data) return false;
  std::copy_n(buffer.data.get(), buffer.size, data.get());
  buffer.data = std::move(data);
  buffer.capacity = capacity;
  return true;
}

// Makes room for the next read once the buffer is full, doubling the
// capacity so that growing to n bytes copies O(n) bytes in all.
void make_room(ByteBuffer& buffer) {
  if (buffer.size < buffer.capacity) return;
  const size_t capacity =
      buffer.capacity == 0 ? kFirstRead : std::max(buffer.capacity * 2, kReadChunk);
  auto data = std::make_unique_for_overwrite<char[]>(capacity);
  std::copy_n(buffer.data.get(), buffer.size, data.get());
  buffer.data = std::move(data);
  buffer.capacity = capacity;
}

// Room for the announced size and one byte more, so that the end of the
// stream is seen without growing again. A lie costs nothing but the room:
// what arrives is kept either way.
void presize(ByteBuffer& buffer, size_t announced) {
  if (announced == 0 || announced > kLargestPresized || announced < buffer.capacity) return;
  move_to_block(buffer, announced + 1);  // without the room, doubling does the work
}

}  // namespace

std::optional<Fd> connect_loopback(uint16_t port, milliseconds limit, bool* out_of_resources) {
  const auto deadline = Clock::now() + limit;
  Fd fd(open_tcp_socket());
  *out_of_resources = !fd && is_resource_error(errno);
  if (!fd) return std::nullopt;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return fd;
  }
  // An interrupted connect goes on in the background, like one in progress.
  if (errno != EINPROGRESS && errno != EINTR) return std::nullopt;
  if (wait_until(fd.get(), POLLOUT, deadline) != Wait::kReady) return std::nullopt;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    return std::nullopt;
  }
  return fd;
}

bool write_all(int fd, std::string_view head, std::string_view body) {
  // One call hands both pieces over; most requests need no second one.
  iovec iov[] = {{const_cast<char*>(head.data()), head.size()},
                 {const_cast<char*>(body.data()), body.size()}};
  constexpr size_t kCount = std::size(iov);
  size_t first = advance(iov, kCount, 0, 0);
  while (first < kCount) {
    msghdr message{};
    message.msg_iov = iov + first;
    message.msg_iovlen = kCount - first;
    const ssize_t written = ::sendmsg(fd, &message, no_sigpipe_flags());
    if (written >= 0) {
      first = advance(iov, kCount, first, static_cast<size_t>(written));
    } else if (would_block(errno)) {
      if (!wait_until_ready(fd, POLLOUT)) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

ByteBuffer copy_to_buffer(std::string_view bytes) {
  ByteBuffer buffer;
  buffer.data = std::make_unique_for_overwrite<char[]>(bytes.size());
  std::copy_n(bytes.data(), bytes.size(), buffer.data.get());
  buffer.size = buffer.capacity = bytes.size();
  return buffer;
}

std::optional<ByteBuffer> receive_to_end(int fd, milliseconds limit, SizeReader announced) {
  ByteBuffer buffer;
  bool head_complete = false;
  // Right after the request the answer is seldom there yet: waiting first
  // saves a read that would only say so.
  if (wait_for(fd, POLLIN, limit) != Wait::kReady) return std::nullopt;
  for (;;) {
    make_room(buffer);
    const size_t before = buffer.size;
    const ssize_t got = ::read(fd, buffer.data.get() + buffer.size, buffer.capacity - buffer.size);
    if (got > 0) {
      buffer.size += static_cast<size_t>(got);
      if (!head_complete) {
        const AnnouncedSize size = announced(buffer.view(), before);
        head_complete = size.head_complete;
        if (head_complete) presize(buffer, size.total);
      }
    } else if (got == 0) {
      return buffer;
    } else if (would_block(errno)) {
      if (wait_for(fd, POLLIN, limit) != Wait::kReady) return std::nullopt;
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

}  // namespace bridge
