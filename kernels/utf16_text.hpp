#pragma once

#include <cstddef>

// Yields 1 when image[0, size) reads as UTF-16 text: an even number of bytes, in the order its
// byte order mark (FF FE or FE FF) gives or, without one, the order that puts more of its zero
// bytes in the high half of a unit; every surrogate paired, and no code unit below U+0020 but
// tab, line feed, form feed and carriage return. Yields 0 otherwise. Reads only that range.
[[nodiscard]] int is_utf16_text(const unsigned char* image, std::size_t size) noexcept;
