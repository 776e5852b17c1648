#pragma once

#include <cstddef>
#include <vector>

// UTF-8 as plainly as it can be written: each sequence decoded to its value, then held to the
// shortest form, outside the surrogates and at most U+10FFFF.
namespace reference::utf8 {

using Bytes = std::vector<unsigned char>;

inline bool accepts(const Bytes& input) {
  for (std::size_t i = 0; i < input.size();) {
    const int b = input[i];
    int length = 0;
    long value = 0;
    if (b < 0x80) {
      length = 1;
      value = b;
    } else if (b >= 0xC0 && b < 0xE0) {
      length = 2;
      value = b - 0xC0;
    } else if (b >= 0xE0 && b < 0xF0) {
      length = 3;
      value = b - 0xE0;
    } else if (b >= 0xF0 && b < 0xF8) {
      length = 4;
      value = b - 0xF0;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(length) > input.size()) {
      return false;
    }
    for (int k = 1; k < length; ++k) {
      const int c = input[i + static_cast<std::size_t>(k)];
      if (c < 0x80 || c >= 0xC0) {
        return false;
      }
      value = value * 64 + (c - 0x80);
    }
    const long shortest_from[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < shortest_from[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
      return false;
    }
    i += static_cast<std::size_t>(length);
  }
  return true;
}

}  // namespace reference::utf8
