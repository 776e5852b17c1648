#pragma once

#include <array>
#include <cstddef>

#include "byte_sink.hpp"
#include "pair_scan.hpp"

// EUC-JP to Shift_JIS as every build of the kernels does it: the byte classes, the pair arithmetic
// as tables, the byte-at-a-time conversion that ends every run, and the loop that drives a build's
// wider blocks before it. Internal linkage throughout, for the reason pair_scan.hpp gives.
namespace {
namespace euc_jp {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr unsigned char SINGLE_SHIFT_2 = 0x8E;

constexpr unsigned char wrap(unsigned value) {
  return static_cast<unsigned char>(value & 0xFFu);
}

// The pair arithmetic split by operand: the first Shift_JIS byte is a function of the row (the
// lead) alone; the second is a function of the cell (the second byte) and of whether the row is
// odd, which is the lead's lowest bit.
struct PairTables {
  std::array<unsigned char, 256> first{};
  std::array<std::array<unsigned char, 256>, 2> second{};
};

constexpr PairTables make_pair_tables() {
  PairTables tables;
  for (unsigned b = 0; b < 256; ++b) {
    const unsigned row = b & 0x7Fu;
    tables.first[b] = wrap(((row + 1) >> 1) + (row < 0x5F ? 0x70 : 0xB0));
    const unsigned cell = b & 0x7Fu;
    tables.second[0][b] = wrap(cell + 0x7E);
    tables.second[1][b] = wrap(cell <= 0x5F ? cell + 0x1F : cell + 0x20);
  }
  return tables;
}

constexpr PairTables PAIRS = make_pair_tables();

// What the validator accepts: ASCII alone, and leads 0xA0-0xFF or the single shift 0x8E each
// followed by a byte 0xA0-0xFF.
constexpr PairEncoding ENCODING{
    {0x8E, 0x8E, 0xA0, 0xFF}, {0xA0, 0xFF, 0xA0, 0xFF}, {0x00, 0x7F, 0x00, 0x7F}};

// Converts in[0, end) from a character boundary, after_cr saying whether the byte before was a
// CR; yields the new end of the output. A lead in last place is paired with *end.
inline unsigned char* convert_rest(const unsigned char* in, const unsigned char* end,
                                   unsigned char* out, bool after_cr) noexcept {
  while (in < end) {
    const unsigned b = *in;
    if (b >= 0x80) {
      const unsigned t = in[1];
      const bool single_shift = b == SINGLE_SHIFT_2;
      out[0] = single_shift ? static_cast<unsigned char>(t) : PAIRS.first[b];
      out[1] = PAIRS.second[b & 1u][t];
      out += single_shift ? 1 : 2;
      in += 2;
      after_cr = false;
    } else if (b == CR || b == LF) {
      // The LF of a CR LF pair does not end a second line; any other byte between them keeps
      // both line ends.
      out[0] = CR;
      out[1] = LF;
      out += b == LF && after_cr ? 0 : 2;
      after_cr = b == CR;
      in += 1;
    } else {
      // Runs of plain ASCII without line ends are copied eight bytes at a time.
      const std::size_t copied = copy_plain_ascii(in, end, out);
      in += copied;
      out += copied;
      after_cr = false;
    }
  }
  return out;
}

// The second byte of a pair whose trail is at in and lead at in[-1], the first already written.
inline unsigned char finish_pair(const unsigned char* in) noexcept {
  const unsigned lead = in[-1];
  return lead == SINGLE_SHIFT_2 ? *in : PAIRS.second[lead & 1u][*in];
}

// The transcoder of a build with blocks of Width bytes.
template <std::size_t Width, BlockConverter Block>
constexpr auto convert = convert_in_blocks<Width, Block, finish_pair, convert_rest>;

}  // namespace euc_jp
}  // namespace
