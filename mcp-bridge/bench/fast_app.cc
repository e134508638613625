#include "fast_app.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
  std::string in;
  /// Head and the start of the body; the shared tail follows it.
  std::string out;
  std::string_view tail;
  size_t sent = 0;
};

// The raw text of the request's id: the bridge sends members sorted, so "id"
// comes first and is followed by "," or "}".
std::string_view id_of(std::string_view body) {
  const size_t at = body.find("\"id\":");
  if (at == std::string_view::npos) return "null";
  const size_t from = at + 5;
  const size_t end = body.find_first_of(",}", from);
  return body.substr(from, end - from);
}

// Content-Length of a complete request, or nullopt-like npos while incomplete.
size_t complete_size(const std::string& in) {
  const size_t end = in.find("\r\n\r\n");
  if (end == std::string::npos) return std::string::npos;
  size_t length = 0;
  const size_t at = in.find("Content-Length: ");
  if (at != std::string::npos && at < end) length = std::strtoul(in.c_str() + at + 16, nullptr, 10);
  return end + 4 + length;
}

}  // namespace

struct FastAppState {
  int listener = -1;
  int epoll = -1;
  int wake = -1;
  uint16_t port = 0;
  std::chrono::milliseconds hold{0};
  std::string large_tail, objects_tail, empties_tail, small_tail, initialize_tail;
  std::atomic<bool> stopping{false};
  std::atomic<Clock::rep> last_upload{0};
  std::unordered_map<int, Connection> connections;
  /// Answers held back, by the time they are due.
  std::multimap<Clock::time_point, int> held;
  std::thread thread;

  void close_connection(int fd) {
    ::close(fd);
    connections.erase(fd);
  }

  // Sends what is left; closes once all is out, else waits for room.
  void flush(int fd) {
    Connection& c = connections[fd];
    for (;;) {
      iovec pieces[2];
      int count = 0;
      if (c.sent < c.out.size()) pieces[count++] = {c.out.data() + c.sent, c.out.size() - c.sent};
      const size_t tail_sent = c.sent > c.out.size() ? c.sent - c.out.size() : 0;
      if (tail_sent < c.tail.size()) {
        pieces[count++] = {const_cast<char*>(c.tail.data()) + tail_sent, c.tail.size() - tail_sent};
      }
      if (count == 0) return close_connection(fd);
      const ssize_t n = ::writev(fd, pieces, count);
      if (n > 0) {
        c.sent += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        epoll_event event{EPOLLOUT, {.fd = fd}};
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event);
        return;
      } else if (n < 0 && errno != EINTR) {
        return close_connection(fd);
      }
    }
  }

  void answer(int fd) {
    const auto complete = Clock::now();
    Connection& c = connections[fd];
    const std::string_view body = std::string_view(c.in).substr(c.in.find("\r\n\r\n") + 4);
    const auto names = [&](std::string_view tool) {
      return body.find("\"name\":\"" + std::string(tool) + "\"") != std::string_view::npos;
    };
    if (names("upload")) last_upload = complete.time_since_epoch().count();
    const bool held_back = names("hold");
    c.tail = names("large")     ? large_tail
             : names("objects") ? objects_tail
             : names("empties") ? empties_tail
             : body.find("\"method\":\"initialize\"") != std::string_view::npos ? initialize_tail
                                                                               : small_tail;
    const std::string_view id = id_of(body);
    const std::string start = "{\"jsonrpc\":\"2.0\",\"id\":";
    c.out = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
            std::to_string(start.size() + id.size() + c.tail.size()) +
            "\r\nConnection: close\r\n\r\n" + start + std::string(id);
    if (held_back && hold.count() > 0) {
      epoll_event event{0, {.fd = fd}};
      ::epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event);
      held.emplace(Clock::now() + hold, fd);
      return;
    }
    flush(fd);
  }

  void readable(int fd) {
    Connection& c = connections[fd];
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        c.in.append(buffer, static_cast<size_t>(n));
        if (c.in.size() >= complete_size(c.in)) return answer(fd);
      } else if (n < 0 && errno == EAGAIN) {
        return;
      } else if (n == 0 || errno != EINTR) {
        return close_connection(fd);
      }
    }
  }

  void accept_all() {
    for (;;) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      connections[fd];
      epoll_event event{EPOLLIN, {.fd = fd}};
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    }
  }

  int timeout_ms() const {
    if (held.empty()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(held.begin()->first - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
  }

  void release_due() {
    while (!held.empty() && held.begin()->first <= Clock::now()) {
      const int fd = held.begin()->second;
      held.erase(held.begin());
      flush(fd);
    }
  }

  void run() {
    epoll_event events[256];
    while (!stopping) {
      const int ready = ::epoll_wait(epoll, events, 256, timeout_ms());
      for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listener) {
          accept_all();
        } else if (fd != wake && connections.count(fd)) {
          if (events[i].events & EPOLLOUT) {
            flush(fd);
          } else {
            readable(fd);
          }
        }
      }
      release_due();
    }
  }
};

std::unique_ptr<FastApp> FastApp::start(size_t large_bytes, std::chrono::milliseconds hold) {
  auto state = std::make_unique<FastAppState>();
  state->hold = hold;
  std::string text(large_bytes, 'a');
  for (size_t i = 0; i < large_bytes; ++i) text[i] = static_cast<char>('a' + i % 26);
  state->large_tail = ",\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"" + text + "\"}]}}";
  std::string items;
  for (size_t i = 0; items.size() < large_bytes; ++i) {
    const std::string n = std::to_string(10000 + i);
    items += (i == 0 ? "{\"id\":" : ",{\"id\":") + n + ",\"name\":\"item " + n +
             "\",\"tags\":[\"a\",\"b\"],\"value\":1.5,\"ok\":true}";
  }
  state->objects_tail = ",\"result\":{\"items\":[" + items + "]}}";
  // Three times the size in empty objects: the most values per byte.
  std::string empties;
  empties.reserve(3 * large_bytes + 2);
  while (empties.size() < 3 * large_bytes) empties += "{},";
  empties += "{}";
  state->empties_tail = ",\"result\":{\"items\":[" + empties + "]}}";
  state->small_tail = ",\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"pong\"}]}}";
  state->initialize_tail =
      ",\"result\":{\"protocolVersion\":\"2025-06-18\",\"capabilities\":{\"tools\":{}},"
      "\"serverInfo\":{\"name\":\"bench\",\"version\":\"1\"}}}";
  state->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (state->listener < 0 ||
      ::bind(state->listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(state->listener, SOMAXCONN) != 0 ||
      ::getsockname(state->listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return nullptr;
  }
  state->port = ntohs(address.sin_port);
  state->epoll = ::epoll_create1(EPOLL_CLOEXEC);
  state->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event listen_event{EPOLLIN, {.fd = state->listener}};
  epoll_event wake_event{EPOLLIN, {.fd = state->wake}};
  ::epoll_ctl(state->epoll, EPOLL_CTL_ADD, state->listener, &listen_event);
  ::epoll_ctl(state->epoll, EPOLL_CTL_ADD, state->wake, &wake_event);
  FastAppState* raw = state.get();
  state->thread = std::thread([raw] { raw->run(); });
  return std::unique_ptr<FastApp>(new FastApp(std::move(state)));
}

FastApp::FastApp(std::unique_ptr<FastAppState> state) : state_(std::move(state)) {}

FastApp::~FastApp() {
  state_->stopping = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t woken = ::write(state_->wake, &one, sizeof one);
  state_->thread.join();
  for (auto& [fd, connection] : state_->connections) ::close(fd);
  ::close(state_->listener);
  ::close(state_->epoll);
  ::close(state_->wake);
}

uint16_t FastApp::port() const { return state_->port; }

Clock::time_point FastApp::last_upload() const {
  return Clock::time_point(Clock::duration(state_->last_upload.load()));
}

}  // namespace bench
