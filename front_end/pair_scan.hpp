#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Building blocks the validators and transcoders of both directions share: a block scan that
// checks text of one- and two-byte characters 64 bytes at a time, and a copy of plain ASCII runs.

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

namespace pair_scan_detail {

struct BlockMasks {
  std::uint64_t lead;
  std::uint64_t trail;
  std::uint64_t single;
};

constexpr std::uint64_t EVEN_POSITIONS = 0x5555555555555555ull;

#if defined(__SSE2__)
inline __m128i in_range(__m128i bytes, unsigned char low, unsigned char high) noexcept {
  // bytes - low, taken unsigned, is at most high - low exactly for the bytes in range.
  const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>(low)));
  const __m128i width = _mm_set1_epi8(static_cast<char>(high - low));
  return _mm_cmpeq_epi8(_mm_max_epu8(offset, width), width);
}

inline std::uint64_t mask_of(const __m128i (&chunks)[4], ByteSet set) noexcept {
  std::uint64_t mask = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i hits = _mm_or_si128(in_range(chunks[i], set.low1, set.high1),
                                      in_range(chunks[i], set.low2, set.high2));
    mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (16 * i);
  }
  return mask;
}

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

// Checks one block given whether its first byte is the trail of a lead in the block before;
// yields the positions that break the encoding and sets carry to whether the last byte is a lead.
//
// Within a run of consecutive lead-set bytes, leads and trails alternate from the start of the
// run (a byte after a trail starts afresh), and the byte after a run is a trail exactly when the
// run's last byte is a lead. Adding a run's start bit to the mask clears the whole run, so the
// runs that start on an even position are found in one addition; their even positions are the
// leads, and in the other runs the odd positions are.
inline std::uint64_t block_errors(const BlockMasks& masks, std::uint64_t& carry) noexcept {
  const std::uint64_t leads_set = masks.lead & ~carry;
  const std::uint64_t starts = leads_set & ~(leads_set << 1);
  const std::uint64_t even_runs = ((leads_set + (starts & EVEN_POSITIONS)) ^ leads_set) & leads_set;
  const std::uint64_t leads =
      (even_runs & EVEN_POSITIONS) | (leads_set & ~even_runs & ~EVEN_POSITIONS);
  const std::uint64_t trails = (leads << 1) | carry;
  carry = leads >> 63;
  return (trails & ~masks.trail) | (~trails & ~(leads_set | masks.single));
}

}  // namespace pair_scan_detail

// True when data[0, size) is a sequence of singles and lead-trail pairs of the encoding, with no
// lead in last place. Reads only data[0, size).
template <PairEncoding Encoding>
[[nodiscard]] bool is_pair_text(const unsigned char* data, std::size_t size) noexcept {
  using namespace pair_scan_detail;
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
