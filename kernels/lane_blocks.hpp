#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "euc_jp_scalar.hpp"
#include "pair_scan.hpp"
#include "shift_jis_scalar.hpp"

// The validators' classification and the transcoders' blocks written once over a vector of
// lanes, for 16-byte SSE2 and 32-byte AVX2 registers alike; they differ in how a block that
// changes length is written. Internal linkage throughout, for the reason pair_scan.hpp gives.
namespace {

#if defined(__SSE2__)
struct Sse2Lanes {
  using Vector = __m128i;
  static constexpr unsigned WIDTH = 16;

  static Vector load(const unsigned char* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static void store(unsigned char* p, Vector v) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  }
  static Vector splat(unsigned char b) noexcept { return _mm_set1_epi8(static_cast<char>(b)); }
  static Vector add(Vector a, Vector b) noexcept { return _mm_add_epi8(a, b); }
  static Vector sub(Vector a, Vector b) noexcept { return _mm_sub_epi8(a, b); }
  static Vector both(Vector a, Vector b) noexcept { return _mm_and_si128(a, b); }
  static Vector either(Vector a, Vector b) noexcept { return _mm_or_si128(a, b); }
  static Vector equal(Vector a, Vector b) noexcept { return _mm_cmpeq_epi8(a, b); }
  static Vector max(Vector a, Vector b) noexcept { return _mm_max_epu8(a, b); }
  // (v + 1) / 2 in each lane, taken unsigned.
  static Vector halved_up(Vector v) noexcept { return _mm_avg_epu8(v, _mm_setzero_si128()); }
  // Each lane from chosen where mask is all ones, from otherwise where it is zero.
  static Vector select(Vector mask, Vector chosen, Vector otherwise) noexcept {
    return _mm_or_si128(_mm_and_si128(mask, chosen), _mm_andnot_si128(mask, otherwise));
  }
  // Bit i set when lane i has its top bit set.
  static std::uint64_t bits_of(Vector mask) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(mask));
  }
  // Lane i all ones when bit i of bits is set.
  static Vector lanes_of(std::uint64_t bits) noexcept {
    // Doubling the low two bytes three times puts eight copies of each side by side.
    __m128i spread = _mm_cvtsi32_si128(static_cast<int>(bits));
    spread = _mm_unpacklo_epi8(spread, spread);
    spread = _mm_unpacklo_epi16(spread, spread);
    spread = _mm_unpacklo_epi32(spread, spread);
    const __m128i select = _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
    return _mm_cmpeq_epi8(_mm_and_si128(spread, select), select);
  }
  // Lane i holds lane i - 1 of v; lane 0 holds first.
  static Vector moved_up(Vector v, unsigned char first) noexcept {
    return _mm_or_si128(_mm_slli_si128(v, 1), _mm_cvtsi32_si128(first));
  }
  // Lane i holds lane i + 1 of v; the last lane is zero.
  static Vector moved_down(Vector v) noexcept { return _mm_srli_si128(v, 1); }
  static unsigned char last(Vector v) noexcept {
    return static_cast<unsigned char>(static_cast<unsigned>(_mm_extract_epi16(v, 7)) >> 8);
  }
};

// Writes, for each of 16 positions in turn, its two candidate bytes (from first and second) and
// keeps as many of them as lengths says (0, 1 or 2). Yields the new end of the output; the byte
// after it may have been written too.
inline unsigned char* emit(unsigned char* out, __m128i first, __m128i second,
                           __m128i lengths) noexcept {
  // Where each position's bytes go is the sum of the lengths before it. Storing in order lets
  // each position overwrite the spare byte the one before it wrote.
  __m128i sums = _mm_add_epi8(lengths, _mm_slli_si128(lengths, 1));
  sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 2));
  sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 4));
  sums = _mm_add_epi8(sums, _mm_slli_si128(sums, 8));
  alignas(16) unsigned char pairs[32];
  alignas(16) unsigned char offsets[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(pairs), _mm_unpacklo_epi8(first, second));
  _mm_store_si128(reinterpret_cast<__m128i*>(pairs + 16), _mm_unpackhi_epi8(first, second));
  _mm_store_si128(reinterpret_cast<__m128i*>(offsets), _mm_slli_si128(sums, 1));
  for (int i = 0; i < 16; ++i) {
    std::memcpy(out + offsets[i], pairs + 2 * i, 2);
  }
  return out + Sse2Lanes::last(sums);
}
#endif

#if defined(__AVX2__)
struct Avx2Lanes {
  using Vector = __m256i;
  static constexpr unsigned WIDTH = 32;

  static Vector load(const unsigned char* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static void store(unsigned char* p, Vector v) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }
  static Vector splat(unsigned char b) noexcept { return _mm256_set1_epi8(static_cast<char>(b)); }
  static Vector add(Vector a, Vector b) noexcept { return _mm256_add_epi8(a, b); }
  static Vector sub(Vector a, Vector b) noexcept { return _mm256_sub_epi8(a, b); }
  static Vector both(Vector a, Vector b) noexcept { return _mm256_and_si256(a, b); }
  static Vector either(Vector a, Vector b) noexcept { return _mm256_or_si256(a, b); }
  static Vector equal(Vector a, Vector b) noexcept { return _mm256_cmpeq_epi8(a, b); }
  static Vector max(Vector a, Vector b) noexcept { return _mm256_max_epu8(a, b); }
  static Vector halved_up(Vector v) noexcept { return _mm256_avg_epu8(v, _mm256_setzero_si256()); }
  static Vector select(Vector mask, Vector chosen, Vector otherwise) noexcept {
    return _mm256_blendv_epi8(otherwise, chosen, mask);
  }
  static std::uint64_t bits_of(Vector mask) noexcept {
    return static_cast<unsigned>(_mm256_movemask_epi8(mask));
  }
  static Vector lanes_of(std::uint64_t bits) noexcept {
    // Byte k of the mask to the eight lanes it covers, then one bit a lane.
    const __m256i spread = _mm256_shuffle_epi8(
        _mm256_set1_epi32(static_cast<int>(bits)),
        _mm256_setr_epi64x(0, 0x0101010101010101, 0x0202020202020202, 0x0303030303030303));
    const __m256i select = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    return _mm256_cmpeq_epi8(_mm256_and_si256(spread, select), select);
  }
  static Vector moved_up(Vector v, unsigned char first) noexcept {
    // The low half moved into the high, the low zero: the lane below each lane of the high half.
    const __m256i below = _mm256_permute2x128_si256(v, v, 0x08);
    return _mm256_or_si256(_mm256_alignr_epi8(v, below, 15),
                           _mm256_zextsi128_si256(_mm_cvtsi32_si128(first)));
  }
};

// For each way eight positions can change length, which of their two candidate bytes each,
// side by side in sixteen bytes, are kept, and how many. A way is numbered in base 3, a digit a
// position: 0 keeps the first byte, 1 neither (the position vanishes), 2 both (it grows).
inline constexpr unsigned WAYS_OF_EIGHT = 6561;

struct KeptBytes {
  alignas(16) unsigned char order[WAYS_OF_EIGHT][16];
  unsigned char count[WAYS_OF_EIGHT];
  // The number of the way in which the positions whose bits are set have digit 1.
  unsigned short digits[256];
};

constexpr KeptBytes make_kept_bytes() {
  KeptBytes kept{};
  for (unsigned way = 0; way < WAYS_OF_EIGHT; ++way) {
    unsigned count = 0;
    unsigned rest = way;
    for (unsigned position = 0; position < 8; ++position, rest /= 3) {
      if (rest % 3 != 1) {
        kept.order[way][count++] = static_cast<unsigned char>(2 * position);
      }
      if (rest % 3 == 2) {
        kept.order[way][count++] = static_cast<unsigned char>(2 * position + 1);
      }
    }
    // A byte with its top bit set makes the shuffle write zero: the kept bytes end there.
    for (unsigned i = count; i < 16; ++i) {
      kept.order[way][i] = 0x80;
    }
    kept.count[way] = static_cast<unsigned char>(count);
  }
  for (unsigned bits = 0; bits < 256; ++bits) {
    unsigned number = 0;
    for (unsigned position = 8; position-- > 0;) {
      number = 3 * number + ((bits >> position) & 1u);
    }
    kept.digits[bits] = static_cast<unsigned short>(number);
  }
  return kept;
}

constexpr KeptBytes KEPT_BYTES = make_kept_bytes();

// Writes 32 positions' bytes, each given as a first byte, kept unless the position vanishes, and
// a second, kept where it grows, in order with nothing between them; eight positions at a time,
// each eight's kept bytes picked by one shuffle. Yields the new end of the output; up to fifteen
// bytes after it may have been written too. AVX2 blocks are written this way whether they change
// length or not: on real text that is as good as random, and the branch it would take cost more
// mispredicted than the shuffles.
inline unsigned char* write_changed(unsigned char* out, __m256i first, __m256i second,
                                    std::uint64_t vanishing, std::uint64_t growing) noexcept {
  const __m256i low = _mm256_unpacklo_epi8(first, second);
  const __m256i high = _mm256_unpackhi_epi8(first, second);
  // Eight positions' pairs in each, in order.
  const __m128i eights[4] = {_mm256_castsi256_si128(low), _mm256_castsi256_si128(high),
                             _mm256_extracti128_si256(low, 1), _mm256_extracti128_si256(high, 1)};
  for (unsigned group = 0; group < 4; ++group) {
    const unsigned way = KEPT_BYTES.digits[(vanishing >> (8 * group)) & 0xFFu] +
                         2u * KEPT_BYTES.digits[(growing >> (8 * group)) & 0xFFu];
    const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(KEPT_BYTES.order[way]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(eights[group], order));
    out += KEPT_BYTES.count[way];
  }
  return out;
}
#endif

namespace lanes {

// All ones in each lane that is at most (at least) limit, taken unsigned.
template <class L>
typename L::Vector at_most(typename L::Vector v, unsigned char limit) noexcept {
  const auto limits = L::splat(limit);
  return L::equal(L::max(v, limits), limits);
}

template <class L>
typename L::Vector at_least(typename L::Vector v, unsigned char limit) noexcept {
  return L::equal(L::max(v, L::splat(limit)), v);
}

// All ones in each lane from low to high.
template <class L>
typename L::Vector in_range(typename L::Vector v, unsigned char low, unsigned char high) noexcept {
  // v - low, taken unsigned, is at most high - low exactly for the lanes in range.
  return at_most<L>(L::sub(v, L::splat(low)), static_cast<unsigned char>(high - low));
}

// Bit i set when lane i is in Set. A range that is either half of the byte values is read off the
// top bits; a single value, or a range that starts at 0 or ends at 0xFF, costs one comparison.
template <class L, unsigned char Low, unsigned char High>
typename L::Vector range_lanes(typename L::Vector v) noexcept {
  if constexpr (Low == High) {
    return L::equal(v, L::splat(Low));
  } else if constexpr (Low == 0x00) {
    return at_most<L>(v, High);
  } else if constexpr (High == 0xFF) {
    return at_least<L>(v, Low);
  } else {
    return in_range<L>(v, Low, High);
  }
}

template <unsigned char Low, unsigned char High>
constexpr bool is_half = (Low == 0x00 && High == 0x7F) || (Low == 0x80 && High == 0xFF);

template <class L, unsigned char Low, unsigned char High>
std::uint64_t half_bits(typename L::Vector v) noexcept {
  constexpr std::uint64_t ALL = (std::uint64_t{1} << L::WIDTH) - 1;
  return Low == 0x00 ? ~L::bits_of(v) & ALL : L::bits_of(v);
}

template <class L, ByteSet Set>
std::uint64_t set_bits(typename L::Vector v) noexcept {
  constexpr bool first_half = is_half<Set.low1, Set.high1>;
  constexpr bool second_half = is_half<Set.low2, Set.high2>;
  if constexpr (first_half && second_half) {
    return half_bits<L, Set.low1, Set.high1>(v) | half_bits<L, Set.low2, Set.high2>(v);
  } else if constexpr (first_half) {
    return half_bits<L, Set.low1, Set.high1>(v) |
           L::bits_of(range_lanes<L, Set.low2, Set.high2>(v));
  } else if constexpr (second_half) {
    return L::bits_of(range_lanes<L, Set.low1, Set.high1>(v)) |
           half_bits<L, Set.low2, Set.high2>(v);
  } else {
    return L::bits_of(
        L::either(range_lanes<L, Set.low1, Set.high1>(v), range_lanes<L, Set.low2, Set.high2>(v)));
  }
}

// The masks of the 64 bytes at block. Always inlined: the validator's loop is this and little more.
template <class L, PairEncoding Encoding>
[[gnu::always_inline]] inline pair_scan::BlockMasks classify(const unsigned char* block) noexcept {
  pair_scan::BlockMasks masks{0, 0, 0};
  for (unsigned i = 0; i < 64; i += L::WIDTH) {
    const auto v = L::load(block + i);
    masks.lead |= set_bits<L, Encoding.lead>(v) << i;
    masks.trail |= set_bits<L, Encoding.trail>(v) << i;
    masks.single |= set_bits<L, Encoding.single>(v) << i;
  }
  return masks;
}

// Writes a block of converted lanes of which the one at position changes length: grown, it is
// preceded by inserted; otherwise it is dropped. The common case of a block that changes length,
// done in registers. Yields the new end of the output; the byte after it may have been written.
template <class L>
unsigned char* write_with_one_change(unsigned char* out, typename L::Vector converted,
                                     unsigned position, bool grown,
                                     unsigned char inserted) noexcept {
  const auto before = L::lanes_of((std::uint64_t{1} << position) - 1);
  if (!grown) {
    L::store(out, L::select(before, converted, L::moved_down(converted)));
    return out + L::WIDTH - 1;
  }
  auto moved = L::select(before, converted, L::moved_up(converted, 0));
  moved = L::select(L::lanes_of(std::uint64_t{1} << position), L::splat(inserted), moved);
  L::store(out, moved);
  out[L::WIDTH] = L::last(converted);
  return out + L::WIDTH + 1;
}

// Which LFs of a block a transcoder drops: each LF right after a CR, the byte before the first
// being a CR when after_cr says so. Leaves after_cr saying whether the last of them is a CR.
template <class L>
std::uint64_t dropped_line_feeds(std::uint64_t cr, std::uint64_t lf, bool& after_cr) noexcept {
  const std::uint64_t dropped = lf & ((cr << 1) | (after_cr ? 1u : 0u));
  after_cr = ((cr >> (L::WIDTH - 1)) & 1u) != 0;
  return dropped;
}

// The leads and trails of a block, given the bytes that may start a pair; leaves carry saying
// whether the last is a lead.
struct Pairs {
  std::uint64_t leads;
  std::uint64_t trails;
};

template <class L>
Pairs pairs_of(std::uint64_t lead_set, unsigned& carry) noexcept {
  constexpr std::uint64_t ALL = (std::uint64_t{1} << L::WIDTH) - 1;
  const std::uint64_t leads = pair_scan::leads_of(lead_set & ~std::uint64_t{carry});
  const std::uint64_t trails = ((leads << 1) | carry) & ALL;
  carry = static_cast<unsigned>((leads >> (L::WIDTH - 1)) & 1u);
  return {leads, trails};
}

// The blocks of the transcoders. Where IbmExtensions, a block that holds a lead from 0xFA up
// (Shift_JIS) or any 0x8F (EUC-JP) is left to the conversion a character at a time, once written:
// deciding that last keeps the blocks' loop a single path, whose constants the compiler then keeps
// in registers.
template <class L, bool IbmExtensions = false>
unsigned char* shift_jis_block(const unsigned char* in, unsigned char* out, unsigned& carry,
                               bool& after_cr) noexcept {
  using shift_jis::CR;
  using shift_jis::LF;
  const auto x = L::load(in);
  const auto next = L::load(in + 1);
  const auto katakana_bytes = in_range<L>(x, 0xA1, 0xDF);
  const std::uint64_t katakana_set = L::bits_of(katakana_bytes);
  const Pairs pairs = pairs_of<L>(L::bits_of(x) & ~katakana_set, carry);
  const bool left = IbmExtensions && (pairs.leads & L::bits_of(at_least<L>(x, 0xFA))) != 0;
  const std::uint64_t katakana = katakana_set & ~pairs.trails;
  const std::uint64_t cr = L::bits_of(L::equal(x, L::splat(CR))) & ~pairs.trails;
  const std::uint64_t lf = L::bits_of(L::equal(x, L::splat(LF))) & ~pairs.trails;

  // The pair arithmetic on every byte at once; each position then takes what its role calls for.
  const auto doubled = L::add(x, x);
  auto first = L::add(doubled, L::splat(0x1F));
  first = L::add(first, L::both(at_most<L>(doubled, 0x3E), L::splat(0x80)));
  first = L::sub(first, at_least<L>(next, 0x9F));
  auto second = L::add(x, L::splat(0x02));
  second = L::add(second, L::both(at_most<L>(x, 0x9E), L::splat(0x5E)));
  second = L::sub(second, at_most<L>(x, 0x7E));
  auto converted =
      L::select(L::lanes_of(pairs.leads), first, L::select(L::lanes_of(pairs.trails), second, x));
  converted = L::select(L::lanes_of(cr), L::splat(LF), converted);

  const std::uint64_t dropped = dropped_line_feeds<L>(cr, lf, after_cr);
  // A katakana byte becomes two bytes, SS2 and itself; a dropped LF none; the rest one each.
  const auto with_shifts =
      L::select(L::lanes_of(katakana), L::splat(shift_jis::SINGLE_SHIFT_2), converted);
  unsigned char* end = nullptr;
  if constexpr (L::WIDTH == 16) {
    const std::uint64_t changed = katakana | dropped;
    if (changed == 0) {
      L::store(out, converted);
      end = out + L::WIDTH;
    } else if ((changed & (changed - 1)) == 0) {
      end =
          write_with_one_change<L>(out, converted, static_cast<unsigned>(std::countr_zero(changed)),
                                   katakana != 0, shift_jis::SINGLE_SHIFT_2);
    } else {
      const auto ones = L::splat(1);
      const auto lengths = L::sub(L::add(ones, L::both(L::lanes_of(katakana), ones)),
                                  L::both(L::lanes_of(dropped), ones));
      end = emit(out, with_shifts, x, lengths);
    }
  } else {
    end = write_changed(out, with_shifts, x, dropped, katakana);
  }
  return left ? nullptr : end;
}

template <class L, bool IbmExtensions = false>
unsigned char* euc_jp_block(const unsigned char* in, unsigned char* out, unsigned& carry,
                            bool& after_cr) noexcept {
  using euc_jp::CR;
  using euc_jp::LF;
  using euc_jp::SINGLE_SHIFT_2;
  const auto x = L::load(in);
  const unsigned char lead_before = carry != 0 ? in[-1] : 0;
  // The byte before each position: the lead of a trail.
  const auto before = L::moved_up(x, lead_before);
  const Pairs pairs = pairs_of<L>(L::bits_of(x), carry);
  const bool left = IbmExtensions &&
                    (pairs.leads & L::bits_of(L::equal(x, L::splat(euc_jp::THREE_BYTE_FORM)))) != 0;
  const std::uint64_t shifts = L::bits_of(L::equal(x, L::splat(SINGLE_SHIFT_2))) & pairs.leads;
  const std::uint64_t shifted =
      ((shifts << 1) | (lead_before == SINGLE_SHIFT_2 ? 1u : 0u)) & pairs.trails;
  const std::uint64_t cr = L::bits_of(L::equal(x, L::splat(CR))) & ~pairs.trails;
  const std::uint64_t lf = L::bits_of(L::equal(x, L::splat(LF))) & ~pairs.trails;

  // The pair arithmetic on every byte at once; each position then takes what its role calls for.
  // A trail after SS2 passes through unchanged.
  const auto low7 = L::both(x, L::splat(0x7F));
  auto first = L::add(L::halved_up(low7), L::splat(0x70));
  first = L::add(first, L::both(at_least<L>(low7, 0x5F), L::splat(0x40)));
  const auto odd_row = L::equal(L::both(before, L::splat(1)), L::splat(1));
  const auto odd_second = L::sub(L::add(low7, L::splat(0x1F)), at_least<L>(low7, 0x60));
  const auto second = L::select(odd_row, odd_second, L::add(low7, L::splat(0x7E)));
  const std::uint64_t line_ends = cr | lf;
  auto converted = L::select(L::lanes_of(pairs.leads), first,
                             L::select(L::lanes_of(pairs.trails & ~shifted), second, x));
  converted = L::select(L::lanes_of(line_ends), L::splat(LF), converted);

  // SS2 itself and a dropped LF write nothing; another line end writes CR before its LF.
  const std::uint64_t dropped = dropped_line_feeds<L>(cr, lf, after_cr);
  const std::uint64_t grown = line_ends & ~dropped;
  const auto with_crs = L::select(L::lanes_of(grown), L::splat(CR), converted);
  unsigned char* end = nullptr;
  if constexpr (L::WIDTH == 16) {
    const std::uint64_t changed = grown | shifts | dropped;
    if (changed == 0) {
      L::store(out, converted);
      end = out + L::WIDTH;
    } else if ((changed & (changed - 1)) == 0) {
      end = write_with_one_change<L>(
          out, converted, static_cast<unsigned>(std::countr_zero(changed)), grown != 0, CR);
    } else {
      const auto ones = L::splat(1);
      auto lengths = L::add(ones, L::both(L::lanes_of(grown), ones));
      lengths = L::select(L::lanes_of(shifts | dropped), _mm_setzero_si128(), lengths);
      end = emit(out, with_crs, L::splat(LF), lengths);
    }
  } else {
    end = write_changed(out, with_crs, L::splat(LF), shifts | dropped, grown);
  }
  return left ? nullptr : end;
}

}  // namespace lanes
}  // namespace
