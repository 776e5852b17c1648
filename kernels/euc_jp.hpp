#pragma once

#include <cstddef>

#include "byte_sink.hpp"

// Yields 1 when image[0, size) is EUC-JP without the three-byte form: bytes below 0x80, and leads
// 0xA0-0xFF or the single shift 0x8E each followed by a byte 0xA0-0xFF; yields 0 for anything else
// and for an absent or empty image. Reads only image[0, size).
[[nodiscard]] int is_euc_jp(const unsigned char* image, std::size_t size) noexcept;

// Writes image[0, size) as Shift_JIS with CR LF line ends (LF and a lone CR become CR LF; CR LF
// stays). 0x8E drops and passes the next byte through; every other byte from 0x80 up is taken as
// the lead of a pair and mapped by the same arithmetic whether or not the pair is valid. A lead in
// last place is paired with image[size], which must be readable. The sink must have room for
// 2 * size bytes; the output is never longer, though bytes past its end, within that room, may be
// overwritten.
void euc_jp_to_shift_jis(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept;

// As is_euc_jp, and also yields 1 where the characters include the three-byte forms of IBM's
// extensions of Windows' Shift_JIS (ibm_extension_tables.hpp), and no other three-byte form.
[[nodiscard]] int is_euc_jp_with_ibm_extensions(const unsigned char* image,
                                                std::size_t size) noexcept;

// As euc_jp_to_shift_jis, but each three-byte form of one of IBM's extensions that is whole in the
// image becomes its code.
void euc_jp_to_shift_jis_with_ibm_extensions(const unsigned char* image, std::size_t size,
                                             ByteSink& sink) noexcept;

// Where is_euc_jp (or, with IBM's extensions, is_euc_jp_with_ibm_extensions) finds image[0, size)
// wrong, as shift_jis_refused_at says.
[[nodiscard]] std::size_t euc_jp_refused_at(const unsigned char* image, std::size_t size) noexcept;
[[nodiscard]] std::size_t euc_jp_with_ibm_extensions_refused_at(const unsigned char* image,
                                                                std::size_t size) noexcept;
