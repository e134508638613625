// Received bytes made up by tests and fuzz targets.
#pragma once

#include <cstdlib>
#include <string_view>

#include "buffer.h"

namespace bridge::testing {

// A buffer holding a copy of `bytes`, as if they had arrived.
inline ByteBuffer copy_to_buffer(std::string_view bytes) {
  ByteBuffer buffer;
  if (!move_to_block(buffer, bytes.size())) std::abort();
  bytes.copy(buffer.data.get(), bytes.size());
  buffer.size = bytes.size();
  return buffer;
}

}  // namespace bridge::testing
