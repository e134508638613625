// The reading loop: one JSON-RPC message per input line, each forwarded on
// the reading thread or on a worker thread of its own.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "json.h"
#include "output.h"

namespace bridge {

// Forwards one message and gives the reply to write, if any.
using ForwardStep = std::function<std::optional<Json>(const Json& message)>;

// What the loop does with each message. Every copy is used from one thread
// only; copies may share state, which must then be safe for concurrent use.
// A worker holds its own copy for its whole life.
struct Forwarder {
  Forwarder() = default;
  // Forwarding alone, with nothing to admit or refuse.
  template <typename Step>
    requires std::is_constructible_v<ForwardStep, Step>
  Forwarder(Step forward)  // NOLINT: a forwarding step is a forwarder
      : forward(std::move(forward)) {}
  Forwarder(std::function<void(const Json&)> admit, ForwardStep forward,
            std::function<std::optional<Json>(const Json&)> refuse)
      : admit(std::move(admit)), forward(std::move(forward)), refuse(std::move(refuse)) {}

  /// On the reading thread, for every object before it is forwarded: what
  /// must be in place before the next line is read (a request's in-flight
  /// entry, which a cancellation on the next line must find). May be empty.
  std::function<void(const Json& message)> admit;
  /// Forwards an admitted message.
  ForwardStep forward;
  /// For an admitted message whose worker thread could not be started: the
  /// reply to write instead, if any; it undoes what `admit` did. May be
  /// empty: no reply.
  std::function<std::optional<Json>(const Json& message)> refuse;
};

// Reads `input_fd` until end of input (or a failed read, or a line that is not
// UTF-8), answers lines that are not JSON objects with the parse-error reply,
// and hands every object to `forwarder`: inline for "initialize" and messages
// without "id", on a new worker thread otherwise. Waits for all workers and
// returns the exit status, 0. A fatal error of an inline message ends the
// process with status 101.
int run_loop(int input_fd, std::shared_ptr<Output> output, Forwarder forwarder);

}  // namespace bridge
