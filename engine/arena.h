// A bump allocator for many small objects that die together: the entries of
// a loaded hash list and their text. Memory is handed out from large blocks
// and returned only all at once, by Reset or destruction.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace hv {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // `align` must be a power of two no larger than alignof(std::max_align_t).
  void* Allocate(size_t size, size_t align);
  void Reset();

 private:
  static constexpr size_t kBlockSize = 1 << 20;

  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* next_ = nullptr;
  size_t left_ = 0;
};

inline void* Arena::Allocate(size_t size, size_t align) {
  const size_t padding = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
  if (next_ == nullptr || padding + size > left_) {
    // Oversized requests get a block of their own.
    const size_t block_size = size > kBlockSize / 4 ? size : kBlockSize;
    blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(block_size));
    next_ = blocks_.back().get();
    left_ = block_size;
    void* result = next_;
    if (block_size == size) {
      next_ = nullptr;
      left_ = 0;
    } else {
      next_ += size;
      left_ -= size;
    }
    return result;
  }
  void* result = next_ + padding;
  next_ += padding + size;
  left_ -= padding + size;
  return result;
}

inline void Arena::Reset() {
  blocks_.clear();
  next_ = nullptr;
  left_ = 0;
}

}  // namespace hv
