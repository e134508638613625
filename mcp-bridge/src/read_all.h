// Reading a descriptor or a file to its end.
#pragma once

#include <optional>
#include <string>

namespace bridge {

// Appends everything `fd` yields up to end of input to `out`; false on a read
// error, with what was read before it kept in `out`.
bool read_to_end(int fd, std::string& out);

// The whole content of the file at `path`; nullopt when it cannot be opened or
// read (a directory among other things).
std::optional<std::string> read_file(const std::string& path);

}  // namespace bridge
