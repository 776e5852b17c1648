#pragma once

#include <cstddef>

// Yields 1 when image[0, size) holds no byte from 0x80 up; 0 otherwise. Reads only that range.
[[nodiscard]] int is_ascii(const unsigned char* image, std::size_t size) noexcept;

// Yields 1 when image[0, size) is well-formed UTF-8: every byte from 0x80 up belongs to a
// sequence of two to four bytes that encodes a scalar value (no overlong form, no surrogate,
// nothing past U+10FFFF) and ends within the range; yields 0 otherwise. Reads only that range.
[[nodiscard]] int is_utf8(const unsigned char* image, std::size_t size) noexcept;
