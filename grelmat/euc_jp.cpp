#include "euc_jp.hpp"

#include <array>

#include "pair_scan.hpp"

namespace {

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
constexpr PairEncoding EUC_JP{
    {0x8E, 0x8E, 0xA0, 0xFF}, {0xA0, 0xFF, 0xA0, 0xFF}, {0x00, 0x7F, 0x00, 0x7F}};

}  // namespace

int is_euc_jp(const unsigned char* image, std::size_t size) noexcept {
  if (image == nullptr || size == 0) {
    return 0;
  }
  return is_pair_text<EUC_JP>(image, size) ? 1 : 0;
}

void euc_jp_to_shift_jis(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept {
  const unsigned char* in = image;
  const unsigned char* const end = image + size;
  // Every step stores two bytes and keeps up to two of them; the output never outgrows twice the
  // input consumed, so the spare store always lands within the sink's room.
  unsigned char* out = sink.cursor();
  // Set by CR and cleared only by LF, so the LF of a CR LF pair does not end a second line.
  bool after_cr = false;
  while (in < end) {
    const unsigned b = *in;
    if (b >= 0x80) {
      const unsigned t = in[1];
      const bool single_shift = b == SINGLE_SHIFT_2;
      out[0] = single_shift ? static_cast<unsigned char>(t) : PAIRS.first[b];
      out[1] = PAIRS.second[b & 1u][t];
      out += single_shift ? 1 : 2;
      in += 2;
    } else if (b == CR || b == LF) {
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
    }
  }
  sink.advance_to(out);
}
