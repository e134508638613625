#include "read_all.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "fd.h"
#include "io.h"
#include "resources.h"

namespace bridge {
namespace {

FileRead failure(int error) {
  return is_resource_error(error) ? FileRead::kNoResources : FileRead::kUnreadable;
}

// Reads up to `text.size()` bytes, normally in one call; a file that shrank
// meanwhile ends early, one that grew is cut at the size it had.
FileRead read_sized(int fd, std::string& text) {
  size_t got = 0;
  while (got < text.size()) {
    const IoResult read = read_once(fd, text.data() + got, text.size() - got);
    if (read.status == Io::kEnd) break;
    if (read.status != Io::kMoved) return failure(read.error);
    got += read.bytes;
  }
  text.resize(got);
  return FileRead::kRead;
}

}  // namespace

FileRead read_regular_file(const std::string& path, size_t max_size, std::string& text) {
  Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file) return failure(errno);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return failure(errno);
  if (!S_ISREG(info.st_mode) || info.st_size < 0 ||
      static_cast<uintmax_t>(info.st_size) > max_size) {
    return FileRead::kUnreadable;
  }
  text.resize(static_cast<size_t>(info.st_size));
  return read_sized(file.get(), text);
}

}  // namespace bridge
