// The floor: what the benchmark does without the bridge, one HTTP exchange
// over a fresh connection per message, as the bridge itself makes them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

// POSTs `body` to 127.0.0.1:`port`/mcp and reads the response to the end of
// the stream. Gives the number of body bytes after the head, or -1 on failure.
long long exchange(uint16_t port, std::string_view body);

}  // namespace bench
