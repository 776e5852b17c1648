#include "shift_jis.hpp"

#include <array>
#include <bit>

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

#if defined(__SSE2__)
// Converts the 16 bytes at in, of which the first is a trail exactly when carry is 1, and yields
// the new end of the output; carry then says whether the last of them is a lead. A lead in last
// place writes its first byte here and its trail the second in the next call, so the byte after
// the 16, which may be the first slack byte, is read.
unsigned char* convert_chunk(const unsigned char* in, unsigned char* out, unsigned& carry,
                             bool& after_cr) noexcept {
  using namespace pair_scan;
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 1));
  const __m128i katakana_bytes = _mm_and_si128(at_least(x, 0xA1), at_most(x, 0xDF));
  const auto lead_set = bits_of(x) & ~bits_of(katakana_bytes) & ~carry;
  const auto leads = static_cast<unsigned>(leads_of(lead_set));
  const unsigned trails = ((leads << 1) | carry) & 0xFFFFu;
  carry = leads >> 15;
  const unsigned katakana = bits_of(katakana_bytes) & ~trails;
  const unsigned cr = bits_of(_mm_cmpeq_epi8(x, _mm_set1_epi8(CR))) & ~trails;
  const unsigned lf = bits_of(_mm_cmpeq_epi8(x, _mm_set1_epi8(LF))) & ~trails;

  // The pair arithmetic on every byte at once; each position then takes what its role calls for.
  const __m128i doubled = _mm_add_epi8(x, x);
  __m128i first = _mm_add_epi8(doubled, _mm_set1_epi8(0x1F));
  first = _mm_add_epi8(first, _mm_and_si128(at_most(doubled, 0x3E), _mm_set1_epi8(-128)));
  first = _mm_sub_epi8(first, at_least(next, 0x9F));
  __m128i second = _mm_add_epi8(x, _mm_set1_epi8(0x02));
  second = _mm_add_epi8(second, _mm_and_si128(at_most(x, 0x9E), _mm_set1_epi8(0x5E)));
  second = _mm_sub_epi8(second, at_most(x, 0x7E));
  __m128i converted = select(bytes_of(leads), first, select(bytes_of(trails), second, x));
  converted = select(bytes_of(cr), _mm_set1_epi8(LF), converted);

  const unsigned dropped = dropped_line_feeds(cr, lf, after_cr);
  const unsigned changed = katakana | dropped;
  if (changed == 0) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), converted);
    return out + 16;
  }
  if ((changed & (changed - 1)) == 0) {
    return write_with_one_change(out, converted, static_cast<unsigned>(std::countr_zero(changed)),
                                 katakana != 0, SINGLE_SHIFT_2);
  }
  // A katakana byte becomes two bytes, SS2 and itself; a dropped LF none; the rest one each.
  const __m128i katakana_mask = bytes_of(katakana);
  const __m128i ones = _mm_set1_epi8(1);
  const __m128i lengths = _mm_sub_epi8(_mm_add_epi8(ones, _mm_and_si128(katakana_mask, ones)),
                                       _mm_and_si128(bytes_of(dropped), ones));
  return emit(out,
              select(katakana_mask, _mm_set1_epi8(static_cast<char>(SINGLE_SHIFT_2)), converted), x,
              lengths);
}
#endif

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
  // Whether the byte just handled was a CR: the LF of a CR LF pair is not written a second time,
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
    *out++ = PAIRS.second[*in++];
  }
#endif
  while (in < end) {
    const unsigned b = *in;
    if (b >= 0x80 && !is_katakana(b)) {
      const unsigned t = in[1];
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
      after_cr = false;
    }
  }
  sink.advance_to(out);
}
