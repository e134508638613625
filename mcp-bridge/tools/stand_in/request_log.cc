#include "stand_in/request_log.h"

namespace stand_in {

size_t RequestLog::record(const Request& request) {
  std::lock_guard lock(mutex_);
  requests_.push_back(request);
  changed_.notify_all();
  return requests_.size() - 1;
}

void RequestLog::mark_closed_early(size_t index) {
  std::lock_guard lock(mutex_);
  requests_.at(index).closed_early = true;
  changed_.notify_all();
}

std::vector<Request> RequestLog::snapshot() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool RequestLog::wait_until(const RequestsDone& done, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(requests_); });
}

}  // namespace stand_in
