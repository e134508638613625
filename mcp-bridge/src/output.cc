#include "output.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "readiness.h"

namespace bridge {
namespace {

// Room for the lines the bridge makes up itself and most small answers.
constexpr size_t kSmallLine = 256;

// Writes all of `bytes`, resuming after interruptions and short writes, and
// waiting for room when a host handed the output over non-blocking. Gives up
// at the first real error: the output is gone then.
void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && (errno == EINTR || (would_block(errno) && wait_until_ready(fd, POLLOUT)))) {
      continue;
    }
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
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
