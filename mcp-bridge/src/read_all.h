// Reading small files whole.
#pragma once

#include <cstddef>
#include <string>

namespace bridge {

// What reading a small file came to.
enum class FileRead {
  kRead,
  /// Missing, unreadable, not a regular file, or larger than allowed.
  kUnreadable,
  /// The process or the system had no descriptor or memory to spare.
  kNoResources,
};

// Reads the file at `path` whole into `text` when it is a regular file of at
// most `max_size` bytes. The file is opened without blocking, so a FIFO or a
// device in its place never holds the caller up; it is then simply not read.
FileRead read_regular_file(const std::string& path, size_t max_size, std::string& text);

}  // namespace bridge
