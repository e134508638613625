// The socket work of one exchange: a bounded connect to the loopback address,
// writing a request completely, and reading to the end of the stream.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "fd.h"

namespace bridge {

// Received bytes. Unlike a std::string it can grow without zero-filling the
// space each read lands in.
struct ByteBuffer {
  std::unique_ptr<char[]> data;
  size_t size = 0;
  size_t capacity = 0;

  std::string_view view() const { return {data.get(), size}; }
};

// A buffer holding a copy of `bytes`.
ByteBuffer copy_to_buffer(std::string_view bytes);

// What the head of a message says about the size of the whole, once the head
// has arrived: `total` is head plus announced body, 0 when nothing usable is
// announced.
struct AnnouncedSize {
  bool head_complete = false;
  size_t total = 0;
};
// Reads the head from the bytes `received` so far, of which the first `seen`
// were offered before and held no complete head.
using SizeReader = AnnouncedSize (*)(std::string_view received, size_t seen);

// A connection to 127.0.0.1:`port`, non-blocking and close-on-exec,
// established within `limit`; nullopt on any failure. `*out_of_resources`
// tells whether the failure was that no socket could be made for lack of
// descriptors or memory.
std::optional<Fd> connect_loopback(uint16_t port, std::chrono::milliseconds limit,
                                   bool* out_of_resources);

// Writes `head` and then `body` in full. Waits for room as long as it takes:
// there is no time limit on sending. False on any write error.
bool write_all(int fd, std::string_view head, std::string_view body);

// Everything up to the end of the stream; nullopt on a read error or when one
// wait for data lasts longer than `limit`. Once `announced` finds the head
// complete, a size it announces is room reserved in one step; the stream may
// still end before or after that size, and then is taken as it is.
std::optional<ByteBuffer> receive_to_end(int fd, std::chrono::milliseconds limit,
                                         SizeReader announced);

}  // namespace bridge
