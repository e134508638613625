// Everything the bridge writes on standard output: whole lines under one
// lock, and the replies that the bridge makes up itself.
#pragma once

#include <cstddef>
#include <mutex>
#include <string_view>

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

// Writes `value` in the wire form and a line feed as one line, in room for
// about its `wire_size`. Write errors (a closed or broken output) lose the
// line silently. A reply whose line finds no memory to be built in is
// written as the error reply with kLostMessage for its "id" instead: the host
// still learns that its request came to nothing it can see. Safe for
// concurrent use.
void write_line(Output& output, const Json& value);

// The message of the error reply for a request whose answer was lost on the
// way: the connection dropped, or the answer could not be held.
constexpr std::string_view kLostMessage =
    "Torvela\u2019yla ba\u011Flant\u0131 yan\u0131t gelmeden koptu. \u0130\u015Flemin "
    "yap\u0131l\u0131p yap\u0131lmad\u0131\u011F\u0131n\u0131 Torvela\u2019da kontrol et.";

// {"error":{"code":-32603,"message":message},"id":id,"jsonrpc":"2.0"}, with
// copies of `id` and `message`.
Json error_reply(const JsonValue& id, std::string_view message);

// The fixed reply to an input line that is not a JSON object.
const Json& parse_error_reply();

}  // namespace bridge
