#include "stand_in/io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

#include "stand_in/wire.h"

namespace stand_in {
namespace {

/// A head beyond this is not a request from the bridge; the connection is dropped.
constexpr size_t kMaxHead = 64 * 1024;
/// Bodies beyond this are refused unread.
constexpr size_t kMaxBody = 256 * 1024 * 1024;
/// How long finish_sending waits for the peer to read the answer and close.
constexpr std::chrono::milliseconds kLinger{2000};

// One read, resumed after signals; the byte count, 0 at end of stream, or -1.
ssize_t receive(int fd, char* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::recv(fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Appends everything up to CR LF CR LF to `head`, the bytes read past it to
// `extra`. False when the stream ends first or the head grows too long.
bool read_head(int fd, std::string& head, std::string& extra) {
  std::string buffer;
  char chunk[4096];
  while (buffer.size() <= kMaxHead) {
    ssize_t n = receive(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    // The end marker may straddle two reads.
    size_t from = buffer.size() < 3 ? 0 : buffer.size() - 3;
    buffer.append(chunk, n);
    size_t end = buffer.find("\r\n\r\n", from);
    if (end != std::string::npos) {
      extra = buffer.substr(end + 4);
      buffer.resize(end);
      head = std::move(buffer);
      return true;
    }
  }
  return false;
}

}  // namespace

Receipt read_request(int fd, Request& request) {
  std::string extra;
  if (!read_head(fd, request.head, extra)) return Receipt::kNothing;
  if (!parse_head(request.head, request)) return Receipt::kBadHead;
  std::optional<size_t> length = content_length(request);
  if (!length || *length > kMaxBody) return Receipt::kBadLength;
  // Bytes past the announced body are not part of this request.
  extra.resize(std::min(extra.size(), *length));
  size_t have = extra.size();
  request.body = std::move(extra);
  request.body.resize(*length);
  while (have < *length) {
    ssize_t n = receive(fd, request.body.data() + have, *length - have);
    if (n <= 0) {
      request.body.resize(have);
      return Receipt::kCutShort;
    }
    have += n;
  }
  return Receipt::kComplete;
}

bool peer_closes_within(int fd, std::optional<std::chrono::milliseconds> duration) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + duration.value_or(std::chrono::milliseconds(0));
  char scratch[4096];
  for (;;) {
    int timeout = -1;
    if (duration) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
    }
    pollfd watch{fd, POLLIN, 0};
    int ready = ::poll(&watch, 1, timeout);
    if (ready < 0 && errno != EINTR) return true;
    if (ready <= 0) continue;
    // Hang-up and errors show as readable too; the read tells them apart from
    // stray bytes.
    ssize_t n = receive(fd, scratch, sizeof scratch);
    if (n == 0 || (n < 0 && errno != EAGAIN)) return true;
  }
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(n);
  }
  return true;
}

void finish_sending(int fd) {
  ::shutdown(fd, SHUT_WR);
  peer_closes_within(fd, kLinger);
}

}  // namespace stand_in
