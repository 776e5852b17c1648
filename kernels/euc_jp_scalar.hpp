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
      const std::size_t copied = copy_plain_ascii(in, static_cast<std::size_t>(end - in), out);
      if (copied == 0) {
        *out++ = static_cast<unsigned char>(b);
        in += 1;
      } else {
        in += copied;
        out += copied;
      }
      after_cr = false;
    }
  }
  return out;
}

// Converts a block of Width bytes at in, of which the first is a trail exactly when carry is 1
// (its lead is then in[-1]), and yields the new end of the output; carry then says whether the
// last of them is a lead, whose trail the next block converts.
using BlockConverter = unsigned char* (*)(const unsigned char* in, unsigned char* out,
                                          unsigned& carry, bool& after_cr) noexcept;

// The transcoder of a build: its blocks while they last, then the rest a byte at a time.
template <std::size_t Width, BlockConverter Block>
void convert(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept {
  const unsigned char* in = image;
  const unsigned char* const end = image + size;
  // Every step stores two bytes and keeps up to two of them; the output never outgrows twice the
  // input consumed, so the spare store always lands within the sink's room.
  unsigned char* out = sink.cursor();
  bool after_cr = false;
  unsigned carry = 0;
  for (; static_cast<std::size_t>(end - in) >= Width; in += Width) {
    out = Block(in, out, carry, after_cr);
  }
  // A pair cut at the end of the last block is finished here, so that the rest starts at a
  // character.
  if (carry != 0) {
    const unsigned lead = in[-1];
    *out++ = lead == SINGLE_SHIFT_2 ? *in : PAIRS.second[lead & 1u][*in];
    ++in;
    after_cr = false;
  }
  sink.advance_to(convert_rest(in, end, out, after_cr));
}

}  // namespace euc_jp
}  // namespace
