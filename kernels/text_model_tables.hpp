#pragma once

#include <cstddef>
#include <cstdint>

// How often each character occurs in real Japanese text, as costs in quarter bits (-4 log2 of
// the character's frequency). Generated from Debian's Japanese text by make_text_model.py.

// A cost at least this high is a position no encoding assigns.
inline constexpr unsigned UNASSIGNED_COST = 160;

// Each JIS X 0208 position, row * 94 + cell, both counted from 0 (Windows' row 13 and the NEC
// selection of IBM's extensions included).
extern const unsigned char JIS_COST[94 * 94];
// Each half-width katakana 0xA1-0xDF (counted from 0) beginning a run of them.
extern const unsigned char HALF_WIDTH_FIRST_COST[63];
// A run that ends after its first character, by that character.
extern const unsigned char HALF_WIDTH_ALONE_COST[63];
// Each half-width katakana, or at 63 the end of the run, after the one given first, from the
// second character of a run on.
extern const unsigned char HALF_WIDTH_NEXT_COST[63][64];

// Kanji pairs, among the kanji of rows 16 to 63 and cells 1 to 63 (those whose EUC-JP bytes read
// as half-width katakana in Shift_JIS), each numbered (row - 15) * 63 + cell, both from 0.
inline constexpr unsigned KANJI_PAIR_FIRST_ROW = 15;
inline constexpr unsigned KANJI_PAIR_ROWS = 48;
inline constexpr unsigned KANJI_PAIR_CELLS = 63;
// Where the kanji seen after each kanji begin in KANJI_PAIR_NEXT; the last entry is the end.
extern const std::uint32_t KANJI_PAIR_BEGIN[KANJI_PAIR_ROWS * KANJI_PAIR_CELLS + 1];
// The kanji seen after each, sorted, and what each costs there beyond its own JIS_COST.
extern const std::uint16_t KANJI_PAIR_NEXT[];
extern const std::int8_t KANJI_PAIR_NEXT_COST[];
// What a kanji never seen after a given one costs there beyond its own JIS_COST.
extern const unsigned char KANJI_PAIR_UNSEEN_COST[KANJI_PAIR_ROWS * KANJI_PAIR_CELLS];

// The code point of each position that has one, sorted by code point.
struct UnicodeJis {
  std::uint16_t code_point;
  std::uint16_t jis;
};
extern const UnicodeJis UNICODE_JIS[];
extern const std::size_t UNICODE_JIS_COUNT;
