#include "flight.h"

#include <sys/socket.h>

#include <utility>

namespace bridge {
namespace {

// Ends the connection behind `stream` for everyone who holds it, so that a
// send or receive blocked on it in another thread returns at once. A failure
// (the peer already gone) changes nothing for us.
void shut_down(const Fd& stream) {
  if (stream) ::shutdown(stream.get(), SHUT_RDWR);
}

}  // namespace

std::string request_key(const JsonValue& id) {
  return serialize(id);
}

void start_flight(InFlight& map, const std::string& key) {
  std::lock_guard lock(map.mutex);
  // Assigning over an old entry closes its stream without shutting it down:
  // that connection belongs to another request that happens to share the id.
  map.flights[key] = Flight{};
}

bool is_cancelled(InFlight& map, const std::string& key) {
  std::lock_guard lock(map.mutex);
  const auto it = map.flights.find(key);
  return it != map.flights.end() && it->second.cancelled;
}

void attach_stream(InFlight& map, const std::string& key, Fd stream) {
  std::lock_guard lock(map.mutex);
  const auto it = map.flights.find(key);
  if (it == map.flights.end()) return;  // `stream` closes on return
  if (it->second.cancelled) {
    shut_down(stream);
    return;
  }
  it->second.stream = std::move(stream);
}

void detach_stream(InFlight& map, const std::string& key) {
  std::lock_guard lock(map.mutex);
  const auto it = map.flights.find(key);
  if (it != map.flights.end()) it->second.stream.reset();
}

void cancel(InFlight& map, const std::string& key) {
  std::lock_guard lock(map.mutex);
  const auto it = map.flights.find(key);
  if (it == map.flights.end()) return;
  it->second.cancelled = true;
  const Fd stream = std::move(it->second.stream);
  shut_down(stream);
}

std::optional<bool> finish_flight(InFlight& map, const std::string& key) {
  Fd stream;  // closed after the lock is released
  bool cancelled = false;
  {
    std::lock_guard lock(map.mutex);
    const auto it = map.flights.find(key);
    if (it == map.flights.end()) return std::nullopt;
    stream = std::move(it->second.stream);
    cancelled = it->second.cancelled;
    map.flights.erase(it);
  }
  return cancelled;
}

}  // namespace bridge
