// Finding the next byte of interest in a text sixteen bytes at a time. The
// compiler's generic vector types (supported alike by GCC and Clang) become
// SSE2 on x86-64 and NEON on arm64, with no intrinsics of either; the last
// few bytes of a text are looked at one by one.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace bridge::byte_scan {

using Block = unsigned char __attribute__((vector_size(16)));
constexpr int kBlockSize = sizeof(Block);

inline Block load(const char* p) {
  Block block;
  std::memcpy(&block, p, sizeof block);
  return block;
}

constexpr Block splat(unsigned char c) {
  return Block{c, c, c, c, c, c, c, c, c, c, c, c, c, c, c, c};
}

// Each helper gives a block in which a byte is 0xFF where the byte of
// `block` matches and 0 elsewhere.

// Bytes equal to `c`, marked.
inline Block equal_to(Block block, unsigned char c) {
  return reinterpret_cast<Block>(block == splat(c));
}

// Control bytes (below 0x20), marked.
inline Block below_space(Block block) { return reinterpret_cast<Block>(block < splat(0x20)); }

// Control bytes and non-ASCII bytes (0x80 up), marked: adding
// 0x80 moves exactly those below 0xA0.
inline Block control_or_non_ascii(Block block) {
  return reinterpret_cast<Block>(block + splat(0x80) < splat(0xA0));
}

// Offset of the first marked byte, or kBlockSize when none is.
inline int first_marked(Block marked) {
  uint64_t words[2];
  std::memcpy(words, &marked, sizeof words);
  static_assert(std::endian::native == std::endian::little, "byte offsets assume little endian");
  if (words[0] != 0) return std::countr_zero(words[0]) / 8;
  if (words[1] != 0) return 8 + std::countr_zero(words[1]) / 8;
  return kBlockSize;
}

}  // namespace bridge::byte_scan
