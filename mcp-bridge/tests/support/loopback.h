// Test peers on 127.0.0.1: listeners, connected pairs, and reads and writes
// that never wait longer than they are told.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "fd.h"
#include "platform.h"

namespace bridge::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline sockaddr_in loopback_address(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket bound to a free port of 127.0.0.1; listening unless `backlog` is
// negative, in which case connecting to it is refused.
struct Listener {
  Fd fd;
  uint16_t port = 0;
};

inline Listener listen_loopback(int backlog = 64) {
  Listener listener{Fd(open_tcp_socket())};
  sockaddr_in address = loopback_address(0);
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if (!listener.fd || ::bind(listener.fd.get(), raw, length) != 0 ||
      (backlog >= 0 && ::listen(listener.fd.get(), backlog) != 0) ||
      ::getsockname(listener.fd.get(), raw, &length) != 0) {
    std::abort();  // the tests cannot run at all
  }
  listener.port = ntohs(address.sin_port);
  return listener;
}

// Waits for `events` on `fd` until `deadline`; false when they did not come.
inline bool wait_ready(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

// The next connection, non-blocking and close-on-exec; empty after `limit`.
inline Fd accept_within(const Listener& listener, milliseconds limit) {
  if (!wait_ready(listener.fd.get(), POLLIN, Clock::now() + limit)) return Fd();
#ifdef __linux__
  return Fd(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
#else
  // The accepted socket inherits O_NONBLOCK there; these tests never exec.
  return Fd(::accept(listener.fd.get(), nullptr, nullptr));
#endif
}

// A connected loopback pair: {our end, the peer's end}.
inline std::pair<Fd, Fd> tcp_pair() {
  const Listener listener = listen_loopback();
  Fd ours(open_tcp_socket());
  const sockaddr_in address = loopback_address(listener.port);
  ::connect(ours.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  Fd theirs = accept_within(listener, milliseconds(2000));
  if (!ours || !theirs || !wait_ready(ours.get(), POLLOUT, Clock::now() + milliseconds(2000))) {
    std::abort();
  }
  return {std::move(ours), std::move(theirs)};
}

// Reads until `done(bytes)` holds, the stream ends, or `limit` passes.
// Returns the bytes and whether the stream ended.
inline std::pair<std::string, bool> read_until(int fd, milliseconds limit,
                                               const std::function<bool(std::string_view)>& done) {
  const auto deadline = Clock::now() + limit;
  std::string bytes;
  char chunk[65536];
  while (!done(bytes)) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got == 0) return {bytes, true};
    if (got > 0) {
      bytes.append(chunk, static_cast<size_t>(got));
    } else if (errno != EINTR && (errno != EAGAIN || !wait_ready(fd, POLLIN, deadline))) {
      break;
    }
  }
  return {bytes, false};
}

// Whether `bytes` hold a whole request: its head and Content-Length bytes.
inline bool whole_request(std::string_view bytes) {
  const size_t head_end = bytes.find("\r\n\r\n");
  const size_t field = bytes.find("\r\nContent-Length: ");
  if (head_end == std::string_view::npos || field > head_end) return false;
  const size_t length = std::strtoul(bytes.data() + field + 18, nullptr, 10);
  return bytes.size() >= head_end + 4 + length;
}

inline std::string read_request(int fd, milliseconds limit = milliseconds(5000)) {
  return read_until(fd, limit, whole_request).first;
}

// The bytes up to the end of the stream; nullopt when it did not end in time.
inline std::optional<std::string> read_to_close(int fd, milliseconds limit) {
  auto [bytes, ended] = read_until(fd, limit, [](std::string_view) { return false; });
  if (!ended) return std::nullopt;
  return bytes;
}

inline bool write_fully(int fd, std::string_view bytes, milliseconds limit = milliseconds(5000)) {
  const auto deadline = Clock::now() + limit;
  while (!bytes.empty()) {
    const ssize_t put = ::send(fd, bytes.data(), bytes.size(), no_sigpipe_flags());
    if (put > 0) {
      bytes.remove_prefix(static_cast<size_t>(put));
    } else if (errno != EINTR && (errno != EAGAIN || !wait_ready(fd, POLLOUT, deadline))) {
      return false;
    }
  }
  return true;
}

// Closes `fd` with a reset instead of an orderly end of the stream.
inline void reset_connection(Fd& fd) {
  const linger abort{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  fd.reset();
}

// Accepts one connection and runs `script` on it in a thread of its own. The
// script gets an empty Fd when no connection came within two seconds.
inline std::jthread serve_one(const Listener& listener, std::function<void(Fd)> script) {
  return std::jthread([&listener, script = std::move(script)] {
    script(accept_within(listener, milliseconds(2000)));
  });
}

// Descriptors this process holds (the directory handle itself included).
inline size_t open_descriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

}  // namespace bridge::testing
