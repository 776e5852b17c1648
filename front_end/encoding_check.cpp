#include "encoding_check.hpp"

bool EncodingCheck::take(std::span<const unsigned char> piece) noexcept {
  const unsigned char* const bytes = piece.data();
  const std::size_t size = piece.size();
  // What Notepad and many editors put before UTF-8 text.
  if (first_ && size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    refused_ = true;
  }
  first_ = false;
  if (refused_ || rules_.validator(bytes, size) == 0) {
    refused_ = true;
    return false;
  }
  beyond_ascii_ = beyond_ascii_ || rules_.ascii(bytes, size) == 0;
  // Real text almost always leaves a look-alike within its first piece, so this costs little.
  for (int i = 0; i < 2; ++i) {
    alike_[i] =
        alike_[i] && rules_.look_alikes[i] != nullptr && rules_.look_alikes[i](bytes, size) != 0;
  }
  return true;
}

bool EncodingCheck::accepted() const noexcept {
  return !refused_ && !first_ && !(beyond_ascii_ && (alike_[0] || alike_[1]));
}
