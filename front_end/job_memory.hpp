#pragma once

#include <cstddef>

// A block of memory for a conversion (the file image with its slack, or the room its converted
// pieces are made in), not necessarily zeroed. Where the system allows, the part a conversion
// touches is mapped in one step rather than a page fault at a time.
class JobMemory {
 public:
  // No block when size bytes cannot be had; touched says how many bytes from the start are
  // expected to be written.
  JobMemory(std::size_t size, std::size_t touched) noexcept;
  JobMemory() noexcept = default;
  JobMemory(JobMemory&& other) noexcept : block_(other.block_), size_(other.size_) {
    other.block_ = nullptr;
  }
  JobMemory& operator=(JobMemory&& other) noexcept {
    if (this != &other) {
      release();
      block_ = other.block_;
      size_ = other.size_;
      other.block_ = nullptr;
    }
    return *this;
  }
  ~JobMemory() { release(); }

  [[nodiscard]] unsigned char* get() const noexcept { return block_; }
  void release() noexcept;

 private:
  unsigned char* block_ = nullptr;
  std::size_t size_ = 0;
};
