// A stand-in for the desktop application: an MCP endpoint over HTTP/1.1 on
// 127.0.0.1 that the bridge's tests, stress runs, benchmark and demo talk to.
// It answers like the application does, records what it was sent, and on
// request answers slowly, hugely or wrongly (see tools.h and faults.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stand_in/request.h"
#include "stand_in/request_log.h"
#include "stand_in/settings_file.h"

namespace stand_in {

// Returns raw response bytes to send instead of the usual answer, or nullopt
// to answer as usual. Called on connection threads, several at once; it must
// not stop the server.
using Hook = std::function<std::optional<std::string>(const Request&)>;

struct Options {
  /// 0 picks a free port.
  uint16_t port = 0;
  /// The bearer token that requests must carry; a random one when absent.
  std::optional<std::string> token;
  /// Send every well-formed answer in the chunked transfer coding.
  bool chunked = false;
  /// A pause before every answer; it ends early when the peer closes.
  std::chrono::milliseconds delay{0};
  Hook hook;
};

/// Everything a running server holds; defined in stand_in.cc.
struct ServerState;

class Server {
 public:
  // Listens on 127.0.0.1 and serves each connection on a thread of its own
  // until stopped. nullptr, with the reason in *error, when it cannot listen.
  static std::unique_ptr<Server> start(Options options, std::string* error = nullptr);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  uint16_t port() const;
  const std::string& token() const;

  // Stops accepting, cuts every open connection and joins every thread; the
  // request log stays readable. Idempotent; call it from the owning thread.
  void stop();

  // The requests received so far, in arrival order.
  std::vector<Request> requests() const;
  // True once at least `count` requests have arrived, false after `timeout`.
  bool wait_for_requests(size_t count, std::chrono::milliseconds timeout) const;
  // True once `done` holds for the requests received, false after `timeout`.
  bool wait_until(const RequestsDone& done, std::chrono::milliseconds timeout) const;

  // Writes "<dir>/mcp.json" naming this server (see write_settings_file).
  bool write_settings(const std::string& dir, std::optional<bool> enabled) const;

 private:
  explicit Server(std::unique_ptr<ServerState> state);
  std::unique_ptr<ServerState> state_;
};

}  // namespace stand_in
