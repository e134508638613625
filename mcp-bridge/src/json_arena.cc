#include "json_arena.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace bridge {
namespace {

// Enough for every field of the tree: pointers, sizes, 64-bit numbers.
constexpr size_t kAlignment = 8;
constexpr size_t kSmallestChunk = 2 * 1024;
// Chunks stay below the C library's mmap threshold (32 MiB as the bridge
// sets it), so that a freed chunk goes back to the heap and the next
// document reuses its pages instead of faulting fresh ones in.
constexpr size_t kLargestChunk = 16 * 1024 * 1024;

size_t round_up(size_t bytes) {
  return (bytes + kAlignment - 1) & ~(kAlignment - 1);
}

}  // namespace

struct Arena::Chunk {
  Chunk* next;
  // The chunk's room follows; the header keeps it aligned.
  alignas(kAlignment) char room[1];
};

Arena::Arena(size_t size_hint)
    : chunk_size_(std::clamp(round_up(size_hint), kSmallestChunk, kLargestChunk)) {}

Arena::Arena(Arena&& other) noexcept
    : chunks_(std::exchange(other.chunks_, nullptr)),
      next_(std::exchange(other.next_, nullptr)),
      end_(std::exchange(other.end_, nullptr)),
      chunk_size_(other.chunk_size_) {}

Arena& Arena::operator=(Arena&& other) noexcept {
  if (this != &other) {
    release();
    chunks_ = std::exchange(other.chunks_, nullptr);
    next_ = std::exchange(other.next_, nullptr);
    end_ = std::exchange(other.end_, nullptr);
    chunk_size_ = other.chunk_size_;
  }
  return *this;
}

Arena::~Arena() {
  release();
}

void Arena::release() {
  while (chunks_ != nullptr) {
    Chunk* next = chunks_->next;
    std::free(chunks_);
    chunks_ = next;
  }
  next_ = end_ = nullptr;
}

void Arena::throw_no_memory() {
  throw std::bad_alloc();
}

void* Arena::allocate(size_t bytes) {
  if (bytes > kMaxBytes) throw_no_memory();
  bytes = round_up(bytes);
  if (static_cast<size_t>(end_ - next_) >= bytes) {
    void* room = next_;
    next_ += bytes;
    return room;
  }
  return allocate_in_new_chunk(bytes);
}

void* Arena::allocate_in_new_chunk(size_t bytes) {
  // A block larger than half an ordinary chunk (a copied message, a long
  // decoded string) gets a chunk of its own size, and the current chunk
  // stays in use for what follows.
  const bool own_chunk = bytes > chunk_size_ / 2;
  const size_t room = own_chunk ? bytes : chunk_size_;
  auto* chunk = static_cast<Chunk*>(std::malloc(offsetof(Chunk, room) + room));
  if (chunk == nullptr) throw_no_memory();
  if (own_chunk && chunks_ != nullptr) {
    chunk->next = chunks_->next;
    chunks_->next = chunk;
    return chunk->room;
  }
  chunk->next = chunks_;
  chunks_ = chunk;
  next_ = chunk->room + bytes;
  end_ = chunk->room + room;
  if (!own_chunk) chunk_size_ = std::min(2 * chunk_size_, kLargestChunk);
  return chunk->room;
}

std::string_view Arena::copy(std::string_view text) {
  if (text.empty()) return {};
  char* room = static_cast<char*>(allocate(text.size()));
  std::memcpy(room, text.data(), text.size());
  return {room, text.size()};
}

}  // namespace bridge
