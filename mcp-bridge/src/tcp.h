// Connections to the application: a bounded connect to the loopback address
// that only ever yields a connection to someone else.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "fd.h"

namespace bridge {

// Why no connection came about.
enum class ConnectFailure {
  /// Nobody took the connection: refused, timed out, unreachable, or the
  /// socket met itself.
  kNotConnected,
  /// The bridge had no descriptor, memory, buffer or local port to spare,
  /// which says nothing about the application.
  kNoResources,
};

// A connection to 127.0.0.1:`port`, non-blocking and close-on-exec,
// established within `limit`; nullopt with `*failure` set otherwise.
std::optional<Fd> connect_loopback(uint16_t port, std::chrono::milliseconds limit,
                                   ConnectFailure* failure);

// True when the connected socket `fd` is connected to itself. Connecting to
// a free port of the ephemeral range, the system may choose that very port
// as the source: the connection attempt meets itself and succeeds, and the
// request would be written into the bridge's own socket.
bool is_self_connection(int fd);

}  // namespace bridge
