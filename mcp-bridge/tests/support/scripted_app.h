// An application that answers every request with bytes the test wrote, piece
// by piece with pauses between them, and then closes the connection. It
// stages what the stand-in cannot: a plain body that stops where the test
// says, or an answer that trickles in over seconds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "fd.h"

namespace bridge::testing {

struct Piece {
  /// Waited before the bytes go out.
  std::chrono::milliseconds pause{0};
  std::string bytes;
};

class ScriptedApp {
 public:
  // Listens on 127.0.0.1 at a free port; port() is 0 when that failed.
  explicit ScriptedApp(std::vector<Piece> script);
  // Stops at the next pause or connection, whatever the script still holds.
  ~ScriptedApp();
  ScriptedApp(const ScriptedApp&) = delete;
  ScriptedApp& operator=(const ScriptedApp&) = delete;

  uint16_t port() const { return port_; }
  // Connections whose request was read whole and whose script was played out.
  int served() const { return served_; }

 private:
  void run();
  void serve(int fd);
  bool pause(std::chrono::milliseconds duration) const;

  const std::vector<Piece> script_;
  Fd listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> served_{0};
  std::thread thread_;
};

}  // namespace bridge::testing
