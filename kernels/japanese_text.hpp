#pragma once

#include <cstddef>
#include <cstdint>

// How unlikely a text is as Japanese, read in one encoding: the sum, over its characters, of -log2
// of each one's frequency in real Japanese text, in quarter bits. ASCII costs nothing; a kanji
// right after another of those half-width katakana can be read as costs what the pair makes more
// or less likely; a run of half-width katakana costs its beginning (how rare such runs are) and
// each character after the one before it. Of two readings of the same bytes, the cheaper is the
// likelier. Any byte range is read safely; bytes the encoding cannot hold cost as much as an
// unassigned position. The sums over pieces cut just after a line feed add up to the sum over the
// whole. Each of IBM's extensions (ibm_extension_tables.hpp) costs what the same character costs at
// its other code.

// image[0, size) read as Shift_JIS.
[[nodiscard]] std::int64_t shift_jis_text_cost(const unsigned char* image,
                                               std::size_t size) noexcept;
// image[0, size) read as EUC-JP.
[[nodiscard]] std::int64_t euc_jp_text_cost(const unsigned char* image, std::size_t size) noexcept;
// image[0, size) read as UTF-8, where a character JIS X 0208 lacks costs what text of other
// languages makes likely.
[[nodiscard]] std::int64_t utf8_text_cost(const unsigned char* image, std::size_t size) noexcept;
