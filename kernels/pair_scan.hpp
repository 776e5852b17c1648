#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Building blocks the validators and transcoders of both directions share: a block scan that
// checks text of one- and two-byte characters 64 bytes at a time, the SSE2 pieces of the
// transcoders' 16-byte blocks, and a copy of plain ASCII runs for the portable code.

// A set of byte values made of two closed ranges (the same range twice when one is enough).
struct ByteSet {
  unsigned char low1, high1, low2, high2;

  [[nodiscard]] constexpr bool contains(unsigned b) const noexcept {
    return (b >= low1 && b <= high1) || (b >= low2 && b <= high2);
  }
};

// An encoding whose characters are single bytes or a lead followed by a trail. The lead and
// single sets must not overlap; a trail may be any byte of its set, leads included.
struct PairEncoding {
  ByteSet lead;
  ByteSet trail;
  ByteSet single;
};

namespace pair_scan {

struct BlockMasks {
  std::uint64_t lead;
  std::uint64_t trail;
  std::uint64_t single;
};

constexpr std::uint64_t EVEN_POSITIONS = 0x5555555555555555ull;

#if defined(__SSE2__)
// All ones in each byte that is at most (at least) limit, taken unsigned.
inline __m128i at_most(__m128i bytes, unsigned char limit) noexcept {
  const __m128i limits = _mm_set1_epi8(static_cast<char>(limit));
  return _mm_cmpeq_epi8(_mm_max_epu8(bytes, limits), limits);
}

inline __m128i at_least(__m128i bytes, unsigned char limit) noexcept {
  return _mm_cmpeq_epi8(_mm_max_epu8(bytes, _mm_set1_epi8(static_cast<char>(limit))), bytes);
}

// Bit i set when byte i of mask has its top bit set.
inline unsigned bits_of(__m128i mask) noexcept {
  return static_cast<unsigned>(_mm_movemask_epi8(mask));
}

// Byte i of the result is all ones when bit i of bits is set.
inline __m128i bytes_of(unsigned bits) noexcept {
  // Doubling the low two bytes three times puts eight copies of each side by side.
  __m128i spread = _mm_cvtsi32_si128(static_cast<int>(bits));
  spread = _mm_unpacklo_epi8(spread, spread);
  spread = _mm_unpacklo_epi16(spread, spread);
  spread = _mm_unpacklo_epi32(spread, spread);
  const __m128i select = _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
  return _mm_cmpeq_epi8(_mm_and_si128(spread, select), select);
}

// Which LFs among 16 bytes a transcoder drops: each LF right after a CR, the byte before the first
// being a CR when after_cr says so. Leaves after_cr saying whether the last of the 16 is a CR.
[[nodiscard]] inline unsigned dropped_line_feeds(unsigned cr, unsigned lf,
                                                 bool& after_cr) noexcept {
  const unsigned dropped = lf & ((cr << 1) | (after_cr ? 1u : 0u));
  after_cr = (cr >> 15) != 0;
  return dropped;
}

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
  return out + (static_cast<unsigned>(_mm_extract_epi16(sums, 7)) >> 8);
}

// Each byte from chosen where mask is all ones, from otherwise where it is zero.
inline __m128i select(__m128i mask, __m128i chosen, __m128i otherwise) noexcept {
  return _mm_or_si128(_mm_and_si128(mask, chosen), _mm_andnot_si128(mask, otherwise));
}

// Writes 16 converted bytes of which the one at position changes length: grown, it is preceded by
// inserted; otherwise it is dropped. The common case of a block that changes length, done in
// registers. Yields the new end of the output; the byte after it may have been written too.
inline unsigned char* write_with_one_change(unsigned char* out, __m128i converted,
                                            unsigned position, bool grown,
                                            unsigned char inserted) noexcept {
  const __m128i before = bytes_of((1u << position) - 1);
  if (!grown) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     select(before, converted, _mm_srli_si128(converted, 1)));
    return out + 15;
  }
  __m128i moved = select(before, converted, _mm_slli_si128(converted, 1));
  moved = select(bytes_of(1u << position), _mm_set1_epi8(static_cast<char>(inserted)), moved);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), moved);
  out[16] = static_cast<unsigned char>(static_cast<unsigned>(_mm_extract_epi16(converted, 7)) >> 8);
  return out + 17;
}

// All ones in each byte from low to high.
inline __m128i in_range(__m128i bytes, unsigned char low, unsigned char high) noexcept {
  // bytes - low, taken unsigned, is at most high - low exactly for the bytes in range.
  const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>(low)));
  const __m128i width = _mm_set1_epi8(static_cast<char>(high - low));
  return _mm_cmpeq_epi8(_mm_max_epu8(offset, width), width);
}

// Bit i set when byte i of the 64 is in set.
inline std::uint64_t mask_of(const __m128i (&chunks)[4], ByteSet set) noexcept {
  std::uint64_t mask = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i hits = _mm_or_si128(in_range(chunks[i], set.low1, set.high1),
                                      in_range(chunks[i], set.low2, set.high2));
    mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (16 * i);
  }
  return mask;
}

// Which of the 64 bytes at block may be leads, trails and singles.
template <PairEncoding Encoding>
BlockMasks classify(const unsigned char* block) noexcept {
  __m128i chunks[4];
  for (int i = 0; i < 4; ++i) {
    chunks[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
  }
  return {mask_of(chunks, Encoding.lead), mask_of(chunks, Encoding.trail),
          mask_of(chunks, Encoding.single)};
}
#else
// Which of the 64 bytes at block may be leads, trails and singles.
template <PairEncoding Encoding>
BlockMasks classify(const unsigned char* block) noexcept {
  BlockMasks masks{0, 0, 0};
  for (unsigned i = 0; i < 64; ++i) {
    const unsigned b = block[i];
    masks.lead |= static_cast<std::uint64_t>(Encoding.lead.contains(b)) << i;
    masks.trail |= static_cast<std::uint64_t>(Encoding.trail.contains(b)) << i;
    masks.single |= static_cast<std::uint64_t>(Encoding.single.contains(b)) << i;
  }
  return masks;
}
#endif

// The leads among a run mask: bit i of lead_set says byte i could start a pair, and the byte
// before bit 0 is taken to end a character.
//
// Within a run of consecutive lead-set bytes, leads and trails alternate from the start of the
// run (a byte after a trail starts afresh), and the byte after a run is a trail exactly when the
// run's last byte is a lead. Adding a run's start bit to the mask clears the whole run, so the
// runs that start on an even position are found in one addition; their even positions are the
// leads, and in the other runs the odd positions are.
[[nodiscard]] constexpr std::uint64_t leads_of(std::uint64_t lead_set) noexcept {
  const std::uint64_t starts = lead_set & ~(lead_set << 1);
  const std::uint64_t even_runs = ((lead_set + (starts & EVEN_POSITIONS)) ^ lead_set) & lead_set;
  return (even_runs & EVEN_POSITIONS) | (lead_set & ~even_runs & ~EVEN_POSITIONS);
}

// Of 16 bytes that start at a character: where the pairs are, given the bytes that may start one,
// and how long the prefix is that keeps its length when converted, given the bytes that change
// length when they are not a trail. A pair is never cut.
struct SameLengthRun {
  unsigned leads;
  unsigned trails;
  unsigned length;
};

[[nodiscard]] inline SameLengthRun same_length_run(unsigned lead_set, unsigned resizing) noexcept {
  const auto leads = static_cast<unsigned>(leads_of(lead_set));
  const unsigned trails = (leads << 1) & 0xFFFFu;
  const unsigned stops = resizing & ~trails;
  unsigned length = stops != 0 ? static_cast<unsigned>(std::countr_zero(stops)) : 16u;
  if (length == 16 && (leads & 0x8000u) != 0) {
    length = 15;
  }
  return {leads, trails, length};
}

// Checks one block given whether its first byte is the trail of a lead in the block before;
// yields the positions that break the encoding and sets carry to whether the last byte is a lead.
inline std::uint64_t block_errors(const BlockMasks& masks, std::uint64_t& carry) noexcept {
  const std::uint64_t lead_set = masks.lead & ~carry;
  const std::uint64_t leads = leads_of(lead_set);
  const std::uint64_t trails = (leads << 1) | carry;
  carry = leads >> 63;
  return (trails & ~masks.trail) | (~trails & ~(lead_set | masks.single));
}

}  // namespace pair_scan

// True when data[0, size) is a sequence of singles and lead-trail pairs of the encoding, with no
// lead in last place. Reads only data[0, size).
template <PairEncoding Encoding>
[[nodiscard]] bool is_pair_text(const unsigned char* data, std::size_t size) noexcept {
  using namespace pair_scan;
  std::uint64_t carry = 0;
  std::size_t p = 0;
  for (; size - p >= 64; p += 64) {
    if (block_errors(classify<Encoding>(data + p), carry) != 0) {
      return false;
    }
  }
  // The rest, padded with zero bytes: a zero is a valid single, and no trail, so a lead in last
  // place shows as an error on the padding after it.
  static_assert(!Encoding.lead.contains(0) && !Encoding.trail.contains(0) &&
                Encoding.single.contains(0));
  unsigned char last[64] = {};
  std::memcpy(last, data + p, size - p);
  return block_errors(classify<Encoding>(last), carry) == 0;
}

// Copies whole eight-byte words of ASCII other than CR and LF from in to out while they last and
// at least eight of the available bytes remain; yields how many bytes were copied.
[[nodiscard]] inline std::size_t copy_plain_ascii(const unsigned char* in, std::size_t available,
                                                  unsigned char* out) noexcept {
  constexpr std::uint64_t ONES = 0x0101010101010101ull;
  constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;
  const auto has_zero_byte = [](std::uint64_t word) {
    return ((word - ONES) & ~word & HIGH_BITS) != 0;
  };
  std::size_t done = 0;
  while (available - done >= 8) {
    std::uint64_t word;
    std::memcpy(&word, in + done, 8);
    if ((word & HIGH_BITS) != 0 || has_zero_byte(word ^ (ONES * 0x0D)) ||
        has_zero_byte(word ^ (ONES * 0x0A))) {
      break;
    }
    std::memcpy(out + done, &word, 8);
    done += 8;
  }
  return done;
}
