// What every fuzz target shares: the input as bytes, and a broken invariant
// turned into a crash, which libFuzzer reports together with the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace bridge::fuzz {

inline std::string_view as_bytes(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Stops the run when `holds` is false. An abort rather than an exception: the
// targets must not rely on anything catching it.
inline void require(bool holds, const char* invariant) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", invariant);
  std::abort();
}

}  // namespace bridge::fuzz
