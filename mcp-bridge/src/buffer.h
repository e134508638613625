// A growable block of bytes for what arrives from a descriptor. Unlike a
// std::string it grows without zero-filling the room each read lands in, and
// a growth that finds no memory fails as a value instead of ending the
// process: one oversized message must not take the others with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace bridge {

struct ByteBuffer {
  std::unique_ptr<char[]> data;
  /// Bytes in use, from data.get() on.
  size_t size = 0;
  size_t capacity = 0;

  std::string_view view() const { return {data.get(), size}; }
  char* end() { return data.get() + size; }
  size_t room() const { return capacity - size; }
};

// Moves the bytes in use into a block of `capacity` (at least their size);
// false, the buffer unchanged, when no such block can be had.
bool move_to_block(ByteBuffer& buffer, size_t capacity);

// Makes at least `least` bytes of room after the bytes in use, at least
// doubling the capacity when it grows, so that growing to n bytes copies
// O(n) bytes in all. False, the buffer unchanged, when memory runs out.
bool make_room(ByteBuffer& buffer, size_t least);

}  // namespace bridge
