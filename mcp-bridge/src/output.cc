#include "output.h"

#include <poll.h>

#include <algorithm>
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

}  // namespace

void write_line(Output& output, const Json& value, size_t expected_size) {
  // Serialised before the lock is taken, so a large answer does not hold up
  // the other writers; the whole line then leaves in one write, which is also
  // the flush.
  std::string line;
  line.reserve(std::max(expected_size, kSmallLine) + 1);
  serialize(value, line);
  line += '\n';
  std::lock_guard<std::mutex> hold(output.mutex);
  write_all(output.fd, line);
}

Json error_reply(Json id, std::string_view message) {
  Json reply = Json::object();
  reply["jsonrpc"] = "2.0";
  reply["id"] = std::move(id);
  reply["error"] = Json::object({{"code", -32603}, {"message", std::string(message)}});
  return reply;
}

const Json& parse_error_reply() {
  static const Json reply = Json::object(
      {{"error", Json::object({{"code", -32700}, {"message", "Parse error"}})},
       {"id", nullptr},
       {"jsonrpc", "2.0"}});
  return reply;
}

}  // namespace bridge
