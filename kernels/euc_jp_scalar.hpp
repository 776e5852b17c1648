#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "byte_sink.hpp"
#include "ibm_extension_tables.hpp"
#include "pair_scan.hpp"

// EUC-JP to Shift_JIS as every build of the kernels does it: the byte classes, the pair arithmetic
// as tables, the byte-at-a-time conversion that ends every run, and the loop that drives a build's
// wider blocks before it. Internal linkage throughout, for the reason pair_scan.hpp gives.
namespace {
namespace euc_jp {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr unsigned char SINGLE_SHIFT_2 = 0x8E;
constexpr unsigned char THREE_BYTE_FORM = 0x8F;

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

// The position in IBM_EXTENSIONS of the one whose three-byte form is 0x8F, first, second, or
// IBM_EXTENSION_COUNT where none has that form.
inline std::size_t ibm_extension(unsigned first, unsigned second) noexcept {
  const unsigned form = first << 8 | second;
  const std::uint16_t* const end = IBM_EXTENSIONS_BY_FORM + IBM_EXTENSION_COUNT;
  const std::uint16_t* const found = std::lower_bound(
      IBM_EXTENSIONS_BY_FORM, end, form,
      [](std::uint16_t index, unsigned wanted) { return IBM_EXTENSIONS[index].form < wanted; });
  return found != end && IBM_EXTENSIONS[*found].form == form ? *found : IBM_EXTENSION_COUNT;
}

// The length of the three-byte form of one of IBM's extensions at in[0, left): 3, or 0 where
// none begins there.
inline std::size_t ibm_extension_length(const unsigned char* in, std::size_t left) noexcept {
  return left >= 3 && in[0] == THREE_BYTE_FORM && ibm_extension(in[1], in[2]) < IBM_EXTENSION_COUNT
             ? 3
             : 0;
}

// Converts in[0, end) a character at a time, as CharacterConverter says; with IbmExtensions,
// the three-byte form of each of IBM's extensions that ends before end becomes its code.
template <bool IbmExtensions>
inline Stopped convert_characters(const unsigned char* in, const unsigned char* end,
                                  unsigned char* out, bool after_cr,
                                  const unsigned char* stop) noexcept {
  while (in < stop) {
    const unsigned b = *in;
    if (b >= 0x80) {
      const unsigned t = in[1];
      if constexpr (IbmExtensions) {
        const std::size_t index =
            b == THREE_BYTE_FORM && end - in >= 3 ? ibm_extension(t, in[2]) : IBM_EXTENSION_COUNT;
        if (index < IBM_EXTENSION_COUNT) {
          const unsigned code = ibm_extension_code(index);
          out[0] = static_cast<unsigned char>(code >> 8);
          out[1] = static_cast<unsigned char>(code & 0xFFu);
          out += 2;
          in += 3;
          after_cr = false;
          continue;
        }
      }
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
  return {in, out, after_cr};
}

// The second byte of a pair whose trail is at in and lead at in[-1], the first already written.
inline unsigned char finish_pair(const unsigned char* in) noexcept {
  const unsigned lead = in[-1];
  return lead == SINGLE_SHIFT_2 ? *in : PAIRS.second[lead & 1u][*in];
}

// The transcoder of a build with blocks of Width bytes, with IBM's extensions or without; Block
// must leave every block that holds a lead 0x8F where they are converted.
template <std::size_t Width, BlockConverter Block, bool IbmExtensions = false>
constexpr auto convert =
    convert_in_blocks<Width, Block, finish_pair, convert_characters<IbmExtensions>, IbmExtensions>;

}  // namespace euc_jp
}  // namespace
