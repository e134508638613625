#include "support/scripted_app.h"

#include <poll.h>
#include <sys/socket.h>

#include "support/loopback.h"

namespace bridge::testing {
namespace {

using namespace std::chrono_literals;

/// How often waits look at the stop flag; it bounds how long stopping takes.
constexpr auto kTick = 10ms;

}  // namespace

ScriptedApp::ScriptedApp(std::vector<Piece> script) : script_(std::move(script)) {
  Listener listener = listen_loopback(16);
  listener_ = std::move(listener.fd);
  port_ = listener.port;
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
  // The whole request is read first, so that the close that ends the script
  // is a clean end of stream for the bridge and never a reset.
  if (!whole_request(read_request(fd))) return;
  for (const Piece& piece : script_) {
    if (!pause(piece.pause) || !write_fully(fd, piece.bytes)) return;
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
