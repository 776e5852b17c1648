#include <sys/mman.h>

#include "job_memory.hpp"

JobMemory::JobMemory(std::size_t size, std::size_t touched) noexcept : size_(size) {
  void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    return;
  }
  block_ = static_cast<unsigned char*>(mapped);
  // Only a hint: a kernel without it, or short of memory now, faults the pages in as they are
  // used, as it always did.
  (void)::madvise(mapped, touched < size ? touched : size, MADV_POPULATE_WRITE);
}

void JobMemory::release() noexcept {
  if (block_ != nullptr) {
    ::munmap(block_, size_);
    block_ = nullptr;
  }
}
