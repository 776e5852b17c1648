#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "replacement.hpp"
#ifdef _WIN32
#include "windows_file.hpp"
#else
#include "posix_file.hpp"
#endif

// Writing pieces to a file and comparing a file with content, the same on every platform over
// the platform's two positioned primitives, found for the handle's type:
//   std::size_t write_at(Handle, std::span<const unsigned char>, std::uint64_t offset) noexcept
//     writes all of the bytes at offset, yielding how many were written before an error stopped
//     it, with write_error() then saying why;
//   bool read_exactly_at(Handle, std::span<unsigned char>, std::uint64_t offset) noexcept
//     reads exactly the buffer's size from offset; false on an error or when fewer arrive.

// Writes the pieces it takes one after another into a file from its start, counting the bytes.
template <typename Handle>
class WritingSink final : public PieceSink {
 public:
  explicit WritingSink(Handle file) noexcept : file_(file) {}
  [[nodiscard]] bool take(std::span<const unsigned char> piece) noexcept override {
    const std::size_t done = write_at(file_, piece, written_);
    written_ += done;
    if (done != piece.size()) {
      error_ = write_error();
      return false;
    }
    return true;
  }
  [[nodiscard]] std::size_t written() const noexcept { return written_; }
  // Why the last write stopped short, as the platform tells; 0 when none did.
  [[nodiscard]] auto error() const noexcept { return error_; }

 private:
  Handle file_;
  std::size_t written_ = 0;
  decltype(write_error()) error_{};
};

// True when the file open as handle holds exactly content.
template <typename Handle>
[[nodiscard]] bool holds_exactly(Handle handle, std::span<const unsigned char> content) noexcept {
  unsigned char chunk[16384];
  for (std::size_t done = 0; done < content.size();) {
    const std::size_t want = std::min(sizeof chunk, content.size() - done);
    if (!read_exactly_at(handle, std::span(chunk, want), done) ||
        !std::equal(chunk, chunk + want, content.begin() + static_cast<std::ptrdiff_t>(done))) {
      return false;
    }
    done += want;
  }
  return true;
}
