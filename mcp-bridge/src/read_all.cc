#include "read_all.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fd.h"

namespace bridge {

bool read_to_end(int fd, std::string& out) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

std::optional<std::string> read_file(const std::string& path) {
  Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file) return std::nullopt;
  std::string text;
  if (!read_to_end(file.get(), text)) return std::nullopt;
  return text;
}

}  // namespace bridge
