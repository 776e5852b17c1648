#pragma once

#include <cstddef>

// The one block of memory a conversion uses: the file image with its slack, then room for the
// largest output, not necessarily zeroed. Where the system allows, the part a conversion normally
// touches (the image and about as much output as input) is mapped in one step rather than a page
// fault at a time, which on a 1 MB file saved about a fifth of a whole run.
class JobMemory {
 public:
  // No block when size bytes cannot be had; touched says how many bytes from the start are
  // expected to be written.
  JobMemory(std::size_t size, std::size_t touched) noexcept;
  JobMemory(const JobMemory&) = delete;
  JobMemory& operator=(const JobMemory&) = delete;
  ~JobMemory() { release(); }

  [[nodiscard]] unsigned char* get() const noexcept { return block_; }
  void release() noexcept;

 private:
  unsigned char* block_ = nullptr;
  std::size_t size_ = 0;
};
