#include "utf16_text.hpp"

int is_utf16_text(const unsigned char* image, std::size_t size) noexcept {
  if (size < 2 || size % 2 != 0) {
    return 0;
  }
  std::size_t start = 0;
  bool little_endian = false;
  if ((image[0] == 0xFF && image[1] == 0xFE) || (image[0] == 0xFE && image[1] == 0xFF)) {
    little_endian = image[0] == 0xFF;
    start = 2;
  } else {
    std::size_t zeros[2] = {0, 0};
    for (std::size_t i = 0; i < size; ++i) {
      zeros[i % 2] += image[i] == 0 ? 1 : 0;
    }
    if (zeros[0] == zeros[1]) {
      return 0;
    }
    little_endian = zeros[1] > zeros[0];
  }
  bool high_surrogate = false;
  for (std::size_t i = start; i < size; i += 2) {
    const unsigned first = image[i];
    const unsigned second = image[i + 1];
    const unsigned unit = little_endian ? first | (second << 8) : (first << 8) | second;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (high_surrogate != low) {
      return 0;
    }
    high_surrogate = unit >= 0xD800 && unit <= 0xDBFF;
    if (unit < 0x20 && unit != '\t' && unit != '\n' && unit != '\f' && unit != '\r') {
      return 0;
    }
  }
  return high_surrogate ? 0 : 1;
}
