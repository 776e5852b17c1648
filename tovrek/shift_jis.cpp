#include "shift_jis.hpp"

#include <array>

#include "pair_scan.hpp"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr unsigned char SINGLE_SHIFT_2 = 0x8E;

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
constexpr PairEncoding SHIFT_JIS{
    {0x81, 0x9F, 0xE0, 0xEF}, {0x40, 0x7E, 0x80, 0xFC}, {0x00, 0x7F, 0xA1, 0xDF}};

}  // namespace

int is_shift_jis(const unsigned char* image, std::size_t size) noexcept {
  if (image == nullptr || size == 0) {
    return 0;
  }
  return is_pair_text<SHIFT_JIS>(image, size) ? 1 : 0;
}

void shift_jis_to_euc_jp(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept {
  const unsigned char* in = image;
  const unsigned char* const end = image + size;
  // Every step stores two bytes and keeps one or two of them; the output never outgrows twice
  // the input consumed, so the spare store always lands within the sink's room.
  unsigned char* out = sink.cursor();
  // Set by CR and cleared only by LF, so the LF of a CR LF pair is not written a second time.
  bool after_cr = false;
  while (in < end) {
    const unsigned b = *in;
    if (b >= 0x80 && !is_katakana(b)) {
      const unsigned t = in[1];
      out[0] = wrap(PAIRS.first[b] + (t >= 0x9F ? 1u : 0u));
      out[1] = PAIRS.second[t];
      out += 2;
      in += 2;
    } else if (b >= 0x80) {
      out[0] = SINGLE_SHIFT_2;
      out[1] = static_cast<unsigned char>(b);
      out += 2;
      in += 1;
    } else if (b == CR || b == LF) {
      *out = LF;
      out += b == LF && after_cr ? 0 : 1;
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
    }
  }
  sink.advance_to(out);
}
