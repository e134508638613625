// Requests in flight, by request key, and the cancellation of their
// connections from another thread.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "fd.h"
#include "json.h"

namespace bridge {

// One request being forwarded.
struct Flight {
  /// A duplicate of the current exchange's connection, so that another thread
  /// can shut it down; empty while no exchange of the request is connected.
  /// Whoever removes or replaces it closes it.
  Fd stream;
  /// Set when a cancellation notice named the request; never reset.
  bool cancelled = false;
};

// The in-flight map. Every operation below takes the lock for its whole
// duration and never blocks on the network.
struct InFlight {
  /// Guards `flights`; never held across network I/O nor with another lock.
  std::mutex mutex;
  std::unordered_map<std::string, Flight> flights;
};

// The text under which a request is found: the compact wire form of its id
// (the string "5" and the number 5 give different keys).
std::string request_key(const JsonValue& id);

// Inserts a fresh entry, replacing (and closing the stream of) any old one.
void start_flight(InFlight& map, const std::string& key);
// The entry's cancelled flag; false when there is no entry.
bool is_cancelled(InFlight& map, const std::string& key);
// Hands the duplicate `stream` of a just-made connection to the entry: it is
// attached when the entry is live, shut down (both directions) and closed when
// the entry is cancelled, and closed when there is no entry.
void attach_stream(InFlight& map, const std::string& key, Fd stream);
// Closes the entry's stream, if any.
void detach_stream(InFlight& map, const std::string& key);
// Marks the entry cancelled and shuts its connection down in both directions.
// No entry: nothing happens.
void cancel(InFlight& map, const std::string& key);
// Removes the entry. nullopt when there was none, else its cancelled flag.
std::optional<bool> finish_flight(InFlight& map, const std::string& key);

}  // namespace bridge
