#pragma once

#include <cassert>
#include <cstddef>

// Every transcoder writes at most this many bytes per input byte (a half-width katakana or a
// line end can double; a pair stays a pair), so 2 * size bytes of room always suffice.
inline constexpr std::size_t MAX_OUTPUT_PER_INPUT_BYTE = 2;

// Appends bytes to memory owned by the caller, who guarantees the room for them.
class ByteSink {
 public:
  ByteSink(unsigned char* buffer, std::size_t capacity) noexcept
      : begin_(buffer), next_(buffer), end_(buffer + capacity) {}

  void put(unsigned char byte) noexcept {
    assert(end_ - next_ >= 1);
    *next_++ = byte;
  }

  void put(unsigned char first, unsigned char second) noexcept {
    assert(end_ - next_ >= 2);
    next_[0] = first;
    next_[1] = second;
    next_ += 2;
  }

  // Where the next byte goes. A kernel may write through it, anywhere within the room the
  // caller guaranteed, and then hand back the end of what it means to keep. Keeping the pointer
  // in a local spares the compiler from reloading it after every byte stored.
  [[nodiscard]] unsigned char* cursor() const noexcept { return next_; }
  void advance_to(unsigned char* end) noexcept {
    assert(end >= next_ && end <= end_);
    next_ = end;
  }

  [[nodiscard]] const unsigned char* data() const noexcept { return begin_; }
  [[nodiscard]] std::size_t size() const noexcept {
    return static_cast<std::size_t>(next_ - begin_);
  }

 private:
  unsigned char* begin_;
  unsigned char* next_;
  [[maybe_unused]] unsigned char* end_;
};
