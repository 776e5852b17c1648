#pragma once

#include <array>
#include <cstddef>

#include "byte_sink.hpp"
#include "ibm_extension_tables.hpp"
#include "pair_scan.hpp"

// Shift_JIS to EUC-JP as every build of the kernels does it: the byte classes, the pair arithmetic
// as tables, the byte-at-a-time conversion that ends every run, and the loop that drives a build's
// wider blocks before it. Internal linkage throughout, for the reason pair_scan.hpp gives.
namespace {
namespace shift_jis {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr unsigned char SINGLE_SHIFT_2 = 0x8E;
constexpr unsigned char THREE_BYTE_FORM = 0x8F;

constexpr bool is_katakana(unsigned b) {
  return b >= 0xA1 && b <= 0xDF;
}

// Byte arithmetic wraps modulo 256, which is what makes invalid pairs map deterministically.
constexpr unsigned char wrap(unsigned value) {
  return static_cast<unsigned char>(value & 0xFFu);
}

// The pair arithmetic split by operand: the first EUC-JP byte is a function of the lead alone,
// plus one when the trail is 0x9F or above; the second is a function of the trail alone.
struct PairTables {
  std::array<unsigned char, 256> first{};
  std::array<unsigned char, 256> second{};
};

constexpr PairTables make_pair_tables() {
  PairTables tables;
  for (unsigned b = 0; b < 256; ++b) {
    const unsigned doubled = wrap(2u * b);
    tables.first[b] = wrap(doubled < 0x3F ? doubled + 0x9F : doubled + 0x1F);
    tables.second[b] = wrap(b <= 0x7E ? b + 0x61 : b < 0x9F ? b + 0x60 : b + 0x02);
  }
  return tables;
}

constexpr PairTables PAIRS = make_pair_tables();

// What the validator accepts: ASCII and half-width katakana alone, and leads 0x81-0x9F or
// 0xE0-0xEF each followed by a trail 0x40-0x7E or 0x80-0xFC.
constexpr PairEncoding ENCODING{
    {0x81, 0x9F, 0xE0, 0xEF}, {0x40, 0x7E, 0x80, 0xFC}, {0x00, 0x7F, 0xA1, 0xDF}};

// The length of one of IBM's extensions at in[0, left): 2, or 0 where none begins there.
inline std::size_t ibm_extension_length(const unsigned char* in, std::size_t left) noexcept {
  return left >= 2 && ibm_extension_at(in[0], in[1]) < IBM_EXTENSION_COUNT ? 2 : 0;
}

// Converts in[0, end) a character at a time, as CharacterConverter says; with IbmExtensions,
// each of IBM's extensions whose trail is before end becomes its three-byte form.
template <bool IbmExtensions>
inline Stopped convert_characters(const unsigned char* in, const unsigned char* end,
                                  unsigned char* out, bool after_cr,
                                  const unsigned char* stop) noexcept {
  while (in < stop) {
    const unsigned b = *in;
    if (b >= 0x80 && !is_katakana(b)) {
      const unsigned t = in[1];
      if constexpr (IbmExtensions) {
        const std::size_t index = in + 1 < end ? ibm_extension_at(b, t) : IBM_EXTENSION_COUNT;
        if (index < IBM_EXTENSION_COUNT) {
          const unsigned form = IBM_EXTENSIONS[index].form;
          out[0] = THREE_BYTE_FORM;
          out[1] = static_cast<unsigned char>(form >> 8);
          out[2] = static_cast<unsigned char>(form & 0xFFu);
          out += 3;
          in += 2;
          after_cr = false;
          continue;
        }
      }
      out[0] = wrap(PAIRS.first[b] + (t >= 0x9F ? 1u : 0u));
      out[1] = PAIRS.second[t];
      out += 2;
      in += 2;
      after_cr = false;
    } else if (b >= 0x80) {
      out[0] = SINGLE_SHIFT_2;
      out[1] = static_cast<unsigned char>(b);
      out += 2;
      in += 1;
      after_cr = false;
    } else if (b == CR || b == LF) {
      // The LF of a CR LF pair is not written a second time; any other byte between them keeps
      // both line ends.
      *out = LF;
      out += b == LF && after_cr ? 0 : 1;
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

// The second byte of a pair whose trail is at in, its lead already converted.
inline unsigned char finish_pair(const unsigned char* in) noexcept {
  return PAIRS.second[*in];
}

// The transcoder of a build with blocks of Width bytes, with IBM's extensions or without; Block
// must leave every block that holds a lead from 0xFA up where they are converted.
template <std::size_t Width, BlockConverter Block, bool IbmExtensions = false>
constexpr auto convert =
    convert_in_blocks<Width, Block, finish_pair, convert_characters<IbmExtensions>, IbmExtensions>;

}  // namespace shift_jis
}  // namespace
