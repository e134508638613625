#include "support/proc_status.h"

#include <dirent.h>

#include <fstream>
#include <string>
#include <thread>

namespace bridge::testing {
namespace {

std::optional<size_t> entries(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return std::nullopt;
  size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") ++count;
  }
  ::closedir(dir);
  return count;
}

std::string proc(pid_t pid, const char* what) {
  return "/proc/" + std::to_string(pid) + "/" + what;
}

}  // namespace

std::optional<size_t> open_descriptors(pid_t pid) { return entries(proc(pid, "fd")); }

std::optional<size_t> thread_count(pid_t pid) { return entries(proc(pid, "task")); }

std::optional<size_t> status_kib(pid_t pid, std::string_view field) {
  std::ifstream in(proc(pid, "status"));
  std::string line;
  while (std::getline(in, line)) {
    // "VmHWM:\t    3456 kB"
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
        line[field.size()] == ':') {
      return std::stoul(line.substr(field.size() + 1));
    }
  }
  return std::nullopt;
}

bool settles(const std::function<bool()>& holds, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (holds()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace bridge::testing
