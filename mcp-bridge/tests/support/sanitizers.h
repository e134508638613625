// What a sanitizer build changes in the bridge process as a test sees it from
// outside. The tests and the bridge they start are always built alike, so the
// test's own build tells. Tests that bound the bridge's memory, threads or time
// allow for the runtimes here, and only here.
#pragma once

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRIDGE_TEST_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define BRIDGE_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define BRIDGE_TEST_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define BRIDGE_TEST_TSAN 1
#endif

namespace bridge::testing {

#if defined(BRIDGE_TEST_TSAN)
/// The runtime starts a thread of its own with the process's first thread and
/// keeps it to the end.
inline constexpr size_t kRuntimeThreads = 1;
/// Every memory access is checked: bulk work runs many times slower.
inline constexpr int kSlowdown = 5;
#elif defined(BRIDGE_TEST_ASAN)
inline constexpr size_t kRuntimeThreads = 0;
inline constexpr int kSlowdown = 3;
#else
inline constexpr size_t kRuntimeThreads = 0;
inline constexpr int kSlowdown = 1;
#endif

/// Shadow memory and the allocator's quarantine of freed blocks then dwarf
/// what the bridge itself holds, so a bound on its peak memory says nothing.
inline constexpr bool kMemoryBoundsHold = kSlowdown == 1;

}  // namespace bridge::testing
