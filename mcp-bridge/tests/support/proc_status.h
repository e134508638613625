// What a running process holds, as Linux shows it under /proc: open
// descriptors, threads and memory. Tests use it to see that the bridge gives
// back everything a burst of work took.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace bridge::testing {

// Entries of /proc/<pid>/fd; nullopt when the process cannot be read.
std::optional<size_t> open_descriptors(pid_t pid);
// Entries of /proc/<pid>/task, the reading thread included.
std::optional<size_t> thread_count(pid_t pid);
// A "kB" field of /proc/<pid>/status such as "VmHWM" or "VmRSS", in KiB.
std::optional<size_t> status_kib(pid_t pid, std::string_view field);

// Polls `holds` every few milliseconds until it is true or `limit` passes;
// gives its last answer. For state that settles shortly after an event, like
// the threads of workers that have just written their replies.
bool settles(const std::function<bool()>& holds, std::chrono::milliseconds limit);

}  // namespace bridge::testing
