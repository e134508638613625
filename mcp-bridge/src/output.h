// Everything the bridge writes on standard output: whole lines under one
// lock, and the replies that the bridge makes up itself.
#pragma once

#include <cstddef>
#include <mutex>
#include <string_view>
#include <utility>

#include "json.h"

namespace bridge {

// Standard output together with the lock that keeps lines whole. Shared by the
// reading thread and every worker.
struct Output {
  explicit Output(int fd) : fd(fd) {}
  /// Constant after construction.
  const int fd;
  /// Held for exactly one line, from its first byte to its last; never held
  /// while anything else runs and never together with another lock.
  std::mutex mutex;
};

// Writes `value` in the wire form and a line feed as one line. Write errors
// (a closed or broken output) lose the line silently. Safe for concurrent use.
// `expected_size`, about the size of the wire form when known, lets the line
// be built in room reserved once.
void write_line(Output& output, const Json& value, size_t expected_size = 0);

// A reply to write, with about the size of its wire form (0: unknown, small).
struct Reply {
  Reply(Json value, size_t expected_size = 0)  // NOLINT: a bare value is a reply
      : value(std::move(value)), expected_size(expected_size) {}
  Json value;
  size_t expected_size;
};

// {"error":{"code":-32603,"message":message},"id":id,"jsonrpc":"2.0"}
Json error_reply(Json id, std::string_view message);

// The fixed reply to an input line that is not a JSON object.
const Json& parse_error_reply();

}  // namespace bridge
