#include "stand_in/stand_in.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

#include "fd.h"
#include "stand_in/connection.h"
#include "stand_in/endpoint.h"

namespace stand_in {
namespace {

/// Connection threads need little stack; a thousand of them at the default
/// size would reserve gigabytes.
constexpr size_t kConnectionStack = 1024 * 1024;
/// How often an idle accepting thread joins the threads of ended connections.
constexpr int kReapIntervalMs = 100;

struct Connection {
  pthread_t thread{};
  /// The connection's descriptor while its thread serves it, -1 once closed.
  int fd = -1;
  bool finished = false;
};

}  // namespace

struct ServerState {
  // Constant after start.
  Options options;
  Endpoint endpoint;
  bridge::Fd listener;
  uint16_t port = 0;
  /// stop() writes to the one end to wake the accepting thread polling the other.
  bridge::Fd wake_read, wake_write;

  std::atomic<bool> stopping{false};
  std::thread acceptor;
  RequestLog log;

  /// Guards `connections` and their fields; never held across network I/O.
  std::mutex mutex;
  /// List nodes stay put, so each thread may keep a pointer to its own.
  std::list<Connection> connections;
};

namespace {

struct Job {
  ServerState* state;
  Connection* connection;
  bridge::Fd fd;
};

void* run_connection(void* raw) {
  std::unique_ptr<Job> job(static_cast<Job*>(raw));
  ServerState& state = *job->state;
  try {
    serve(job->fd.get(), state.options, state.endpoint, state.log, state.stopping);
  } catch (const std::exception&) {
    // Out of memory for a huge answer, say: this connection is dropped, the
    // server goes on.
  }
  std::lock_guard lock(state.mutex);
  // Closed under the lock, so that stop() never shuts down a number that has
  // been handed out again.
  job->fd.reset();
  job->connection->fd = -1;
  job->connection->finished = true;
  return nullptr;
}

void start_connection(ServerState& state, bridge::Fd fd) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kConnectionStack);
  std::lock_guard lock(state.mutex);
  Connection& connection = state.connections.emplace_back();
  connection.fd = fd.get();
  auto job = std::make_unique<Job>(Job{&state, &connection, std::move(fd)});
  if (pthread_create(&connection.thread, &attributes, run_connection, job.get()) == 0) {
    job.release();
  } else {
    state.connections.pop_back();  // and the job closes the connection unanswered
  }
  pthread_attr_destroy(&attributes);
}

// Joins the threads whose connections have ended.
void reap_finished(ServerState& state) {
  std::list<Connection> done;
  {
    std::lock_guard lock(state.mutex);
    for (auto it = state.connections.begin(); it != state.connections.end();) {
      auto next = std::next(it);
      if (it->finished) done.splice(done.end(), state.connections, it);
      it = next;
    }
  }
  for (Connection& connection : done) pthread_join(connection.thread, nullptr);
}

void accept_loop(ServerState& state) {
  while (!state.stopping) {
    pollfd watch[] = {{state.listener.get(), POLLIN, 0}, {state.wake_read.get(), POLLIN, 0}};
    int ready = ::poll(watch, 2, kReapIntervalMs);
    reap_finished(state);
    if (ready <= 0 || !(watch[0].revents & POLLIN)) continue;
    int fd = ::accept4(state.listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      start_connection(state, bridge::Fd(fd));
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      // Out of descriptors, most likely: give running connections a moment to
      // end instead of spinning on a listener that stays readable.
      ::poll(nullptr, 0, 10);
    }
  }
}

bridge::Fd listen_on(uint16_t port, std::string* error) {
  bridge::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int yes = 1;
  // A fixed port can be taken again at once after a restart.
  if (fd && ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::listen(fd.get(), SOMAXCONN) == 0) {
    return fd;
  }
  if (error)
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
  return {};
}

uint16_t bound_port(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

}  // namespace

std::unique_ptr<Server> Server::start(Options options, std::string* error) {
  auto state = std::make_unique<ServerState>();
  state->listener = listen_on(options.port, error);
  if (!state->listener) return nullptr;
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) {
    if (error) *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  state->wake_read.reset(wake[0]);
  state->wake_write.reset(wake[1]);
  state->port = bound_port(state->listener.get());
  state->endpoint = Endpoint{options.token ? *options.token : random_token(), options.chunked};
  state->options = std::move(options);
  state->acceptor = std::thread(accept_loop, std::ref(*state));
  return std::unique_ptr<Server>(new Server(std::move(state)));
}

Server::Server(std::unique_ptr<ServerState> state) : state_(std::move(state)) {}

Server::~Server() {
  stop();
}

uint16_t Server::port() const {
  return state_->port;
}

const std::string& Server::token() const {
  return state_->endpoint.token;
}

void Server::stop() {
  ServerState& state = *state_;
  if (!state.acceptor.joinable()) return;
  state.stopping = true;
  // The pipe is empty, so this one byte cannot be refused.
  [[maybe_unused]] ssize_t woken = ::write(state.wake_write.get(), "", 1);
  state.acceptor.join();
  std::list<Connection> all;
  {
    std::lock_guard lock(state.mutex);
    // Shutting a connection down wakes its thread from any read, write or
    // wait, so each ends promptly.
    for (Connection& connection : state.connections) {
      if (connection.fd >= 0) ::shutdown(connection.fd, SHUT_RDWR);
    }
    all.swap(state.connections);
  }
  for (Connection& connection : all) pthread_join(connection.thread, nullptr);
  state.listener.reset();
}

std::vector<Request> Server::requests() const {
  return state_->log.snapshot();
}

bool Server::wait_for_requests(size_t count, std::chrono::milliseconds timeout) const {
  return wait_until([count](const std::vector<Request>& seen) { return seen.size() >= count; },
                    timeout);
}

bool Server::wait_until(const RequestsDone& done, std::chrono::milliseconds timeout) const {
  return state_->log.wait_until(done, timeout);
}

bool Server::write_settings(const std::string& dir, std::optional<bool> enabled) const {
  return write_settings_file(dir, state_->port, state_->endpoint.token, enabled);
}

}  // namespace stand_in
