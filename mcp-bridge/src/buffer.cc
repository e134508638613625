#include "buffer.h"

#include <algorithm>
#include <new>

namespace bridge {

bool move_to_block(ByteBuffer& buffer, size_t capacity) {
  std::unique_ptr<char[]> data(new (std::nothrow) char[capacity]);
  if (!data) return false;
  std::copy_n(buffer.data.get(), buffer.size, data.get());
  buffer.data = std::move(data);
  buffer.capacity = capacity;
  return true;
}

bool make_room(ByteBuffer& buffer, size_t least) {
  if (buffer.room() >= least) return true;
  if (least > SIZE_MAX - buffer.size) return false;
  const size_t needed = buffer.size + least;
  const size_t doubled = buffer.capacity > SIZE_MAX / 2 ? SIZE_MAX : 2 * buffer.capacity;
  return move_to_block(buffer, std::max(needed, doubled));
}

}  // namespace bridge
