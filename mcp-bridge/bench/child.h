// The bridge as a host runs it: a child process with standard input and
// output on pipes, read one line at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace bench {

class Child {
 public:
  // Starts `program` with TORVELA_MCP_DIR set to `settings_dir`. Check ok().
  Child(const std::string& program, const std::string& settings_dir);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  bool write(std::string_view bytes);
  // The next line without its line feed; nullopt when output ends or nothing
  // comes within `limit`. The view lasts until the next call.
  std::optional<std::string_view> read_line(std::chrono::milliseconds limit);
  // Closes standard input and waits for the exit status (-1 if not normal).
  int finish();

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_;
  size_t begin_ = 0, scanned_ = 0;
};

// A "kB" field of /proc/<pid>/status ("VmHWM", "VmRSS") in KiB, 0 if unknown.
size_t status_kib(pid_t pid, std::string_view field);

}  // namespace bench
