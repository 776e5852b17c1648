#pragma once

#include <string>
#include <string_view>

// File names on Windows are sequences of UTF-16 code units that need not be valid UTF-16. The
// front end carries them as bytes in this encoding: UTF-8, with a lone surrogate written as the
// three bytes its code point would take, so that every sequence of units comes back unchanged.

// The units as bytes; never fails.
[[nodiscard]] std::string utf8_of(std::u16string_view units);

// The bytes as units: exactly the units utf8_of was given for bytes it made; each byte of a
// malformed sequence becomes U+FFFD.
[[nodiscard]] std::u16string utf16_of(std::string_view bytes);
