#include "output.h"

#include <poll.h>

#include <algorithm>
#include <new>
#include <string>

#include "io.h"

namespace bridge {
namespace {

// Room for the lines the bridge makes up itself and most small answers.
constexpr size_t kSmallLine = 256;

// Writes all of `bytes`, resuming after short writes and waiting for room
// when a host handed the output over non-blocking, for as long as the host
// takes: a line given up halfway would corrupt every line after it. Gives up
// at the first real error: the output is gone then.
void write_all(int fd, std::string_view bytes) {
  iovec piece{const_cast<char*>(bytes.data()), bytes.size()};
  iovec* pieces = &piece;
  int count = advance(pieces, 1, 0);
  while (count > 0) {
    const IoResult written = write_once(fd, pieces, count);
    if (written.status == Io::kMoved) {
      count = advance(pieces, count, written.bytes);
    } else if (written.status != Io::kWouldBlock ||
               wait_until(fd, POLLOUT, std::nullopt) != Wait::kReady) {
      return;
    }
  }
}

// The line of `value`, built in room reserved once.
std::string wire_line(const Json& value) {
  std::string line;
  line.reserve(std::max(value.wire_size, kSmallLine) + 1);
  serialize(value.root, line);
  line += '\n';
  return line;
}

Json reply_of_code(int64_t code, const JsonValue& id, std::string_view message) {
  Json reply;
  Arena& arena = reply.arena;
  const JsonValue error = make_object(
      arena, {{"code", json_signed(code)}, {"message", json_string(arena.copy(message))}});
  reply.root = make_object(
      arena, {{"error", error}, {"id", copy_value(arena, id)}, {"jsonrpc", json_string("2.0")}});
  return reply;
}

}  // namespace

void write_line(Output& output, const Json& value) {
  // Serialised before the lock is taken, so a large answer does not hold up
  // the other writers; the whole line then leaves in one write, which is also
  // the flush.
  std::string line;
  try {
    line = wire_line(value);
  } catch (const std::bad_alloc&) {
    // The room for the failed line is free again by now.
    const JsonValue* id = member(&value.root, "id");
    line = wire_line(error_reply(id != nullptr ? *id : json_null(), kLostMessage));
  }
  std::lock_guard<std::mutex> hold(output.mutex);
  write_all(output.fd, line);
}

Json error_reply(const JsonValue& id, std::string_view message) {
  return reply_of_code(-32603, id, message);
}

const Json& parse_error_reply() {
  static const Json reply = reply_of_code(-32700, json_null(), "Parse error");
  return reply;
}

}  // namespace bridge
