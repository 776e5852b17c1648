#pragma once

#include <cstddef>

#include "byte_sink.hpp"

// Yields 1 when image[0, size) is Shift_JIS: bytes below 0x80, half-width katakana 0xA1-0xDF, and
// leads 0x81-0x9F or 0xE0-0xEF each followed by a trail 0x40-0x7E or 0x80-0xFC; yields 0 for
// anything else and for an absent or empty image. Reads only image[0, size).
[[nodiscard]] int is_shift_jis(const unsigned char* image, std::size_t size) noexcept;

// Writes image[0, size) as EUC-JP with LF line ends (CR LF and a lone CR become LF). Every byte
// from 0x80 up other than a half-width katakana is taken as the lead of a pair and mapped by the
// same arithmetic whether or not the pair is valid; a lead in last place is paired with
// image[size], which must be readable. The sink must have room for 2 * size bytes; the output is
// never longer, though bytes past its end, within that room, may be overwritten.
void shift_jis_to_euc_jp(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept;

// As is_shift_jis, and also yields 1 where the pairs include IBM's extensions of Windows'
// Shift_JIS, FA 40-FC 4B (ibm_extension_tables.hpp).
[[nodiscard]] int is_shift_jis_with_ibm_extensions(const unsigned char* image,
                                                   std::size_t size) noexcept;

// As shift_jis_to_euc_jp, but each of IBM's extensions whose trail is in the image becomes its
// three-byte form, 0x8F and two bytes.
void shift_jis_to_euc_jp_with_ibm_extensions(const unsigned char* image, std::size_t size,
                                             ByteSink& sink) noexcept;

// Where is_shift_jis (or, with IBM's extensions, is_shift_jis_with_ibm_extensions) finds image[0,
// size) wrong: the offset of the first byte that begins no character, or of the lead of the first
// pair whose trail is wrong or missing; size where it finds nothing wrong.
[[nodiscard]] std::size_t shift_jis_refused_at(const unsigned char* image,
                                               std::size_t size) noexcept;
[[nodiscard]] std::size_t shift_jis_with_ibm_extensions_refused_at(const unsigned char* image,
                                                                   std::size_t size) noexcept;
