#include "support/scripted_app.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string_view>

namespace bridge::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// How often waits look at the stop flag; it bounds how long stopping takes.
constexpr auto kTick = 10ms;

// Reads the head and as many body bytes as Content-Length announces, so that
// the close that ends the script is a clean end of stream for the bridge and
// never a reset.
bool read_request(int fd) {
  std::string bytes;
  char buffer[65536];
  size_t needed = std::string::npos;
  while (needed == std::string::npos || bytes.size() < needed) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    bytes.append(buffer, static_cast<size_t>(n));
    const size_t end = bytes.find("\r\n\r\n");
    if (needed != std::string::npos || end == std::string::npos) continue;
    const size_t at = bytes.find("Content-Length: ");
    if (at == std::string::npos || at > end) return false;
    needed = end + 4 + std::strtoul(bytes.c_str() + at + 16, nullptr, 10);
  }
  return true;
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

ScriptedApp::ScriptedApp(std::vector<Piece> script) : script_(std::move(script)) {
  listener_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (!listener_ || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_.get(), 16) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { run(); });
}

ScriptedApp::~ScriptedApp() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void ScriptedApp::run() {
  while (!stopping_) {
    pollfd watch{listener_.get(), POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(kTick.count())) <= 0) continue;
    Fd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection) serve(connection.get());
  }
}

void ScriptedApp::serve(int fd) {
  if (!read_request(fd)) return;
  for (const Piece& piece : script_) {
    if (!pause(piece.pause) || !send_all(fd, piece.bytes)) return;
  }
  ++served_;
}

// False when the app is stopping.
bool ScriptedApp::pause(std::chrono::milliseconds duration) const {
  const auto until = Clock::now() + duration;
  while (Clock::now() < until) {
    if (stopping_) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(kTick, until - Clock::now()));
  }
  return !stopping_;
}

}  // namespace bridge::testing
