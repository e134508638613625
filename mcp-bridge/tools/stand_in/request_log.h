// The requests a server has received, in arrival order, for tests to read and
// wait on. Safe for concurrent use.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "stand_in/request.h"

namespace stand_in {

/// Tells whether the requests seen so far are what a waiter waits for.
using RequestsDone = std::function<bool(const std::vector<Request>&)>;

class RequestLog {
 public:
  // Appends a copy of `request`; the index names it in later calls.
  size_t record(const Request& request);
  void mark_closed_early(size_t index);
  std::vector<Request> snapshot() const;
  // Waits until `done` holds or `timeout` passes; true when it held.
  bool wait_until(const RequestsDone& done, std::chrono::milliseconds timeout) const;

 private:
  /// Guards requests_; held only for copying and testing, never across I/O.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Request> requests_;
};

}  // namespace stand_in
