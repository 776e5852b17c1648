#include "euc_jp.hpp"

#include <array>
#include <bit>

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

#if defined(__SSE2__)
// Converts the 16 bytes at in, of which the first is a trail exactly when carry is 1 (its lead is
// then in[-1]), and yields the new end of the output; carry then says whether the last of them is
// a lead, whose trail the next call converts.
unsigned char* convert_chunk(const unsigned char* in, unsigned char* out, unsigned& carry,
                             bool& after_cr) noexcept {
  using namespace pair_scan;
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const unsigned lead_before = carry != 0 ? in[-1] : 0u;
  // The byte before each position: the lead of a trail.
  const __m128i before =
      _mm_or_si128(_mm_slli_si128(x, 1), _mm_cvtsi32_si128(static_cast<int>(lead_before)));
  const auto leads = static_cast<unsigned>(leads_of(bits_of(x) & ~carry));
  const unsigned trails = ((leads << 1) | carry) & 0xFFFFu;
  carry = leads >> 15;
  const __m128i shift_bytes = _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(SINGLE_SHIFT_2)));
  const unsigned shifts = bits_of(shift_bytes) & leads;
  const unsigned shifted = ((shifts << 1) | (lead_before == SINGLE_SHIFT_2 ? 1u : 0u)) & 0xFFFFu;
  const unsigned cr = bits_of(_mm_cmpeq_epi8(x, _mm_set1_epi8(CR))) & ~trails;
  const unsigned lf = bits_of(_mm_cmpeq_epi8(x, _mm_set1_epi8(LF))) & ~trails;

  // The pair arithmetic on every byte at once; each position then takes what its role calls for.
  // A trail after SS2 passes through unchanged.
  const __m128i low7 = _mm_and_si128(x, _mm_set1_epi8(0x7F));
  __m128i first = _mm_add_epi8(_mm_avg_epu8(low7, _mm_setzero_si128()), _mm_set1_epi8(0x70));
  first = _mm_add_epi8(first, _mm_and_si128(at_least(low7, 0x5F), _mm_set1_epi8(0x40)));
  const __m128i odd_row = _mm_cmpeq_epi8(_mm_and_si128(before, _mm_set1_epi8(1)), _mm_set1_epi8(1));
  const __m128i odd_second =
      _mm_sub_epi8(_mm_add_epi8(low7, _mm_set1_epi8(0x1F)), at_least(low7, 0x60));
  const __m128i second = select(odd_row, odd_second, _mm_add_epi8(low7, _mm_set1_epi8(0x7E)));
  const unsigned line_ends = cr | lf;
  __m128i converted =
      select(bytes_of(leads), first, select(bytes_of(trails & ~shifted), second, x));
  converted = select(bytes_of(line_ends), _mm_set1_epi8(LF), converted);

  // SS2 itself and a dropped LF write nothing; another line end writes CR before its LF.
  const unsigned dropped = dropped_line_feeds(cr, lf, after_cr);
  const unsigned grown = line_ends & ~dropped;
  const unsigned changed = grown | shifts | dropped;
  if (changed == 0) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), converted);
    return out + 16;
  }
  if ((changed & (changed - 1)) == 0) {
    return write_with_one_change(out, converted, static_cast<unsigned>(std::countr_zero(changed)),
                                 grown != 0, CR);
  }
  const __m128i ones = _mm_set1_epi8(1);
  const __m128i grown_mask = bytes_of(grown);
  __m128i lengths = _mm_add_epi8(ones, _mm_and_si128(grown_mask, ones));
  lengths = _mm_andnot_si128(bytes_of(shifts | dropped), lengths);
  return emit(out, select(grown_mask, _mm_set1_epi8(CR), converted), _mm_set1_epi8(LF), lengths);
}
#endif

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
  // Whether the byte just handled was a CR: the LF of a CR LF pair does not end a second line,
  // and any other byte between them keeps both line ends.
  bool after_cr = false;
#if defined(__SSE2__)
  // Sixteen bytes at a time while they last; a pair cut at the end of the last chunk is finished
  // here, so that the rest starts at a character.
  unsigned carry = 0;
  for (; end - in >= 16; in += 16) {
    out = convert_chunk(in, out, carry, after_cr);
  }
  if (carry != 0) {
    const unsigned lead = in[-1];
    *out++ = lead == SINGLE_SHIFT_2 ? *in : PAIRS.second[lead & 1u][*in];
    ++in;
  }
#endif
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
  sink.advance_to(out);
}
