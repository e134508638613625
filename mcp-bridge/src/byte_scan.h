// Finding the next byte of interest in a text eight bytes at a time, with
// plain 64-bit arithmetic (no instruction-set intrinsics, so the same code
// serves x86-64 and arm64). Each helper gives a word in which the high bit of
// a byte is set exactly when that byte matches; no carry crosses from one
// byte into the next, so the first marked byte is the first match.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace bridge::byte_scan {

constexpr uint64_t kEachByte = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;
constexpr uint64_t kLowBits = 0x7F7F7F7F7F7F7F7F;

inline uint64_t load(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Bytes equal to `b`.
inline uint64_t equal_to(uint64_t word, unsigned char b) {
  const uint64_t x = word ^ (kEachByte * b);
  return ~(((x & kLowBits) + kLowBits) | x) & kHighBits;
}

// Bytes below 0x20, the control characters.
inline uint64_t below_space(uint64_t word) {
  // For a byte below 0x80, adding 0x60 sets its high bit exactly when it is
  // at least 0x20 and cannot carry out of it; bytes from 0x80 up are masked.
  return ~((word & kLowBits) + kEachByte * 0x60) & ~word & kHighBits;
}

// Bytes from 0x80 up: anything not ASCII.
inline uint64_t non_ascii(uint64_t word) { return word & kHighBits; }

// Offset of the first marked byte in memory order. REQUIRES: marks != 0.
inline int first_marked(uint64_t marks) {
  if constexpr (std::endian::native == std::endian::little) {
    return std::countr_zero(marks) / 8;
  } else {
    return std::countl_zero(marks) / 8;
  }
}

}  // namespace bridge::byte_scan
