// The application the benchmark talks to: a minimal HTTP endpoint on one
// epoll thread that answers at once, so that the figures show the transport
// and the bridge, not the stand-in's bookkeeping.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace bench {

struct FastAppState;

class FastApp {
 public:
  // Listens on 127.0.0.1 at a free port. Every POST gets one JSON-RPC result
  // with the request's id: for "initialize" an initialize result, for a call
  // of the tool "large" a text of `large_bytes`, for one of "objects" an
  // array of small objects of about `large_bytes`, for one of "empties" an
  // array of empty objects of three times that, for one of "hold" a small
  // result after `hold`, else a small result. nullptr when it cannot listen.
  static std::unique_ptr<FastApp> start(size_t large_bytes, std::chrono::milliseconds hold);
  ~FastApp();
  FastApp(const FastApp&) = delete;
  FastApp& operator=(const FastApp&) = delete;

  uint16_t port() const;
  // When the last request that called the tool "upload" was completely
  // received.
  std::chrono::steady_clock::time_point last_upload() const;

 private:
  explicit FastApp(std::unique_ptr<FastAppState> state);
  std::unique_ptr<FastAppState> state_;
};

}  // namespace bench
