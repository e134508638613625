// The memory of one JSON document: blocks taken from the C library in a few
// growing chunks and given back all at once when the document goes, so that
// a tree of a hundred thousand values costs a handful of allocations and no
// walk to free it.
#pragma once

#include <cstddef>
#include <string_view>

namespace bridge {

class Arena {
 public:
  // `size_hint`, about the bytes the document will need, sizes the first
  // chunk; nothing is allocated before the first request.
  explicit Arena(size_t size_hint = 0);
  Arena(Arena&& other) noexcept;
  Arena& operator=(Arena&& other) noexcept;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();

  // `bytes` of room aligned for any value of the tree, valid until the arena
  // goes. Throws std::bad_alloc when the system has no memory to give.
  void* allocate(size_t bytes);

  template <typename T>
  T* allocate_array(size_t count) {
    if (count > kMaxBytes / sizeof(T)) throw_no_memory();
    return static_cast<T*>(allocate(count * sizeof(T)));
  }

  // A copy of `text` in the arena.
  std::string_view copy(std::string_view text);

 private:
  struct Chunk;
  static constexpr size_t kMaxBytes = size_t{1} << 56;
  [[noreturn]] static void throw_no_memory();
  void* allocate_in_new_chunk(size_t bytes);
  void release();

  Chunk* chunks_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
  /// The size of the next ordinary chunk; doubles up to a limit.
  size_t chunk_size_;
};

}  // namespace bridge
