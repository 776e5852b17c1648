#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080u;

// Eight bytes at a time, as one word: a byte from 0x80 up sets its high bit.
bool word_is_ascii(const unsigned char* bytes) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return (word & HIGH_BITS) == 0;
}

}  // namespace

int is_ascii(const unsigned char* image, std::size_t size) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    if (!word_is_ascii(image + i)) {
      return 0;
    }
  }
  for (; i < size; ++i) {
    if (image[i] >= 0x80) {
      return 0;
    }
  }
  return 1;
}

int is_utf8(const unsigned char* image, std::size_t size) noexcept {
  std::size_t i = 0;
  while (i < size) {
    if (i + 8 <= size && word_is_ascii(image + i)) {
      i += 8;
      continue;
    }
    const unsigned lead = image[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The length of the sequence and the range its second byte must be in, which rules out
    // overlong forms (0xE0, 0xF0), surrogates (0xED) and values past U+10FFFF (0xF4).
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      return 0;
    }
    if (size - i < length || image[i + 1] < low || image[i + 1] > high) {
      return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
      if (image[i + k] < 0x80 || image[i + k] > 0xBF) {
        return 0;
      }
    }
    i += length;
  }
  return 1;
}
