// The shared Bridge and the forwarding of one message to the application.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app.h"
#include "flight.h"
#include "http.h"
#include "json.h"
#include "output.h"

namespace bridge {

using Clock = std::chrono::steady_clock;

// Time as forward sees it. The product uses the monotonic clock and real
// sleeps; tests replace both to run the launch rules without waiting.
struct Timing {
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
  std::function<void(std::chrono::milliseconds)> sleep = [](std::chrono::milliseconds d) {
    std::this_thread::sleep_for(d);
  };
  Limits limits;
};

// The one object every thread shares.
struct Bridge {
  Bridge(std::optional<std::string> settings_dir, Launcher launcher, Timing timing = Timing());

  // Constant after construction.
  const std::optional<std::string> settings_dir;
  const Launcher launcher;
  const Timing timing;

  /// Guards protocol_version; held only to copy or replace it.
  std::mutex version_mutex;
  std::optional<std::string> protocol_version;

  /// Guards last_launch and serialises the launch decision, the launcher call
  /// included.
  std::mutex launch_mutex;
  std::optional<Clock::time_point> last_launch;

  InFlight in_flight;
};

// Forwards one message and returns the reply to write, if any. The message's
// wire_size sizes the request body. Safe for concurrent use on one Bridge.
std::optional<Json> forward(Bridge& bridge, const Json& message);

// forward in two steps, for a message that goes to a worker thread. `admit`
// runs on the reading thread and starts a request's in-flight entry there,
// so that a cancellation on the very next line finds it; forward_admitted
// then does the rest on the worker, without starting the entry again.
void admit(Bridge& bridge, const Json& message);
std::optional<Json> forward_admitted(Bridge& bridge, const Json& message);

// For an admitted message that cannot be forwarded, because no thread could
// be started for it: finishes a request's entry and gives the error reply
// that the bridge lacked the resources, unless the request was cancelled.
// Nothing for other messages.
std::optional<Json> refuse(Bridge& bridge, const Json& message);

}  // namespace bridge
