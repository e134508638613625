// The reading loop: one JSON-RPC message per input line, each forwarded on
// the reading thread or on a worker thread of its own.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "json.h"
#include "output.h"

namespace bridge {

// Forwards one message, read from an input line of `line_size` bytes, and
// gives the reply to write, if any. Every copy is used from one thread only;
// copies may share state, which must then be safe for concurrent use. A
// worker holds its own copy for its whole life.
using Forwarder = std::function<std::optional<Reply>(const Json& message, size_t line_size)>;

// Reads `input_fd` until end of input (or a failed read, or a line that is not
// UTF-8), answers lines that are not JSON objects with the parse-error reply,
// and hands every object to `forward`: inline for "initialize" and messages
// without "id", on a new worker thread otherwise. Waits for all workers and
// returns the exit status, 0. A worker thread that cannot be started ends the
// process with status 101.
int run_loop(int input_fd, std::shared_ptr<Output> output, Forwarder forward);

}  // namespace bridge
