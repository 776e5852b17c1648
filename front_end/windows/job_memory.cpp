#include <new>

#include "job_memory.hpp"

JobMemory::JobMemory(std::size_t size, std::size_t) noexcept
    : block_(new (std::nothrow) unsigned char[size]), size_(size) {}

void JobMemory::release() noexcept {
  delete[] block_;
  block_ = nullptr;
}
