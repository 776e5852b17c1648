#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byte_sink.hpp"

// What every build of the validators and transcoders shares, whatever instruction set it is
// compiled for: the byte classes of a pair encoding, the bit arithmetic that finds the leads among
// 64 bytes, the block loops of the validators and the transcoders, and a word-at-a-time copy of
// plain ASCII runs.
//
// Each kernel source is compiled for its own instruction set, so everything here has internal
// linkage: an inline function shared by name could have its copy from a wider source picked by the
// linker for all of them, and run on a processor that lacks those instructions.
namespace {

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

// Bit i set when byte i of a 64-byte block may be a lead, a trail or a single.
struct BlockMasks {
  std::uint64_t lead;
  std::uint64_t trail;
  std::uint64_t single;
};

constexpr std::uint64_t EVEN_POSITIONS = 0x5555555555555555ull;

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

// Checks one block given whether its first byte is the trail of a lead in the block before;
// yields the positions that break the encoding and sets carry to whether the last byte is a lead.
[[nodiscard, gnu::always_inline]] inline std::uint64_t block_errors(const BlockMasks& masks,
                                                                    std::uint64_t& carry) noexcept {
  // Both answers are worked out before the carry is known, so that blocks do not wait on each
  // other for more than a choice.
  const std::uint64_t leads_after_character = leads_of(masks.lead);
  const std::uint64_t leads_after_lead = leads_of(masks.lead & ~std::uint64_t{1});
  const std::uint64_t lead_set = masks.lead & ~carry;
  const std::uint64_t leads = carry != 0 ? leads_after_lead : leads_after_character;
  const std::uint64_t trails = (leads << 1) | carry;
  carry = leads >> 63;
  return (trails & ~masks.trail) | (~trails & ~(lead_set | masks.single));
}

// The masks of a block read one byte at a time.
template <PairEncoding Encoding>
[[nodiscard]] BlockMasks classify_bytes(const unsigned char* block) noexcept {
  BlockMasks masks{0, 0, 0};
  for (unsigned i = 0; i < 64; ++i) {
    const unsigned b = block[i];
    masks.lead |= static_cast<std::uint64_t>(Encoding.lead.contains(b)) << i;
    masks.trail |= static_cast<std::uint64_t>(Encoding.trail.contains(b)) << i;
    masks.single |= static_cast<std::uint64_t>(Encoding.single.contains(b)) << i;
  }
  return masks;
}

}  // namespace pair_scan

// The validator of a build: yields 1 when data[0, size) is a sequence of singles and lead-trail
// pairs of the encoding, with no lead in last place; 0 otherwise, and for an absent or empty
// range. Classify gives the masks of 64 bytes. Reads only data[0, size).
template <PairEncoding Encoding, pair_scan::BlockMasks (*Classify)(const unsigned char*) noexcept>
[[nodiscard]] int is_pair_text(const unsigned char* data, std::size_t size) noexcept {
  using namespace pair_scan;
  if (data == nullptr || size == 0) {
    return 0;
  }
  std::uint64_t carry = 0;
  std::size_t p = 0;
  for (; size - p >= 64; p += 64) {
    if (block_errors(Classify(data + p), carry) != 0) {
      return 0;
    }
  }
  // The rest, padded with zero bytes: a zero is a valid single, and no trail, so a lead in last
  // place shows as an error on the padding after it.
  static_assert(!Encoding.lead.contains(0) && !Encoding.trail.contains(0) &&
                Encoding.single.contains(0));
  unsigned char last[64] = {};
  std::memcpy(last, data + p, size - p);
  return block_errors(Classify(last), carry) == 0 ? 1 : 0;
}

// No character beyond an encoding's pairs, for character_length.
inline std::size_t no_more(const unsigned char*, std::size_t) noexcept {
  return 0;
}

// The length of the character at in[0, left), left at least 1, in an encoding that has Encoding's
// singles and pairs and whatever characters more Extra gives the length of (0 for none); 0 where
// no character of it begins there.
template <PairEncoding Encoding,
          std::size_t (*Extra)(const unsigned char* in, std::size_t left) noexcept>
[[nodiscard]] std::size_t character_length(const unsigned char* in, std::size_t left) noexcept {
  const unsigned b = in[0];
  if (Encoding.single.contains(b)) {
    return 1;
  }
  if (Encoding.lead.contains(b) && left >= 2 && Encoding.trail.contains(in[1])) {
    return 2;
  }
  return Extra(in, left);
}

// The validator of a build for such an encoding: as is_pair_text, blocks of pairs at the speed of
// Classify, and a block that holds anything else a character at a time, to the first character
// boundary past it.
template <PairEncoding Encoding, pair_scan::BlockMasks (*Classify)(const unsigned char*) noexcept,
          std::size_t (*Extra)(const unsigned char* in, std::size_t left) noexcept>
[[nodiscard]] int is_pair_text_with(const unsigned char* data, std::size_t size) noexcept {
  using namespace pair_scan;
  if (data == nullptr || size == 0) {
    return 0;
  }
  std::uint64_t carry = 0;
  std::size_t p = 0;
  for (;;) {
    // Blocks of pairs alone in a loop of their own, as fast as is_pair_text's.
    std::uint64_t lead_before = carry;
    while (size - p >= 64) {
      lead_before = carry;
      if (block_errors(Classify(data + p), carry) != 0) {
        break;
      }
      p += 64;
    }
    const bool whole = size - p >= 64;
    if (!whole) {
      lead_before = carry;
      unsigned char last[64] = {};
      std::memcpy(last, data + p, size - p);
      if (block_errors(Classify(last), carry) == 0) {
        return 1;
      }
    }
    std::size_t q = p - static_cast<std::size_t>(lead_before);
    const std::size_t stop = whole ? p + 64 : size;
    while (q < stop) {
      const std::size_t length = character_length<Encoding, Extra>(data + q, size - q);
      if (length == 0) {
        return 0;
      }
      q += length;
    }
    if (q == size) {
      return 1;
    }
    p = q;
    carry = 0;
  }
}

// Copies a run of ASCII other than CR and LF that starts at in[0], which is such a byte: whole
// eight-byte words while they last and at least eight bytes remain before end, and at least that
// first byte. Yields how many bytes were copied.
[[nodiscard]] inline std::size_t copy_plain_ascii(const unsigned char* in, const unsigned char* end,
                                                  unsigned char* out) noexcept {
  constexpr std::uint64_t ONES = 0x0101010101010101ull;
  constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;
  const auto has_zero_byte = [](std::uint64_t word) {
    return ((word - ONES) & ~word & HIGH_BITS) != 0;
  };
  const auto available = static_cast<std::size_t>(end - in);
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
  if (done == 0) {
    out[0] = in[0];
    done = 1;
  }
  return done;
}

// Converts a block of bytes at in, of which the first is a trail exactly when carry is 1 (its
// lead is then in[-1]), and yields the new end of the output; carry then says whether the last of
// them is a lead, whose trail the next block or finish_pair converts. May read the byte after the
// block, which the transcoders' callers keep readable. Yields null where the block holds a
// character it leaves to the conversion a character at a time; what it wrote and set then counts
// for nothing.
using BlockConverter = unsigned char* (*)(const unsigned char* in, unsigned char* out,
                                          unsigned& carry, bool& after_cr) noexcept;

// Where a conversion a character at a time stopped: the next character to convert, the end of
// the output, and whether the last byte converted was a CR.
struct Stopped {
  const unsigned char* in;
  unsigned char* out;
  bool after_cr;
};

// Converts in[0, end) a character at a time from a character boundary, after_cr saying whether
// the byte before was a CR, up to the first character boundary at or past stop; a lead in last
// place is paired with *end.
using CharacterConverter = Stopped (*)(const unsigned char* in, const unsigned char* end,
                                       unsigned char* out, bool after_cr,
                                       const unsigned char* stop) noexcept;

// Characters converts a block the blocks leave: rare, and kept out of their loop, whose registers
// it would otherwise crowd.
template <CharacterConverter Characters>
[[gnu::noinline, gnu::cold]] Stopped convert_left_block(const unsigned char* in,
                                                        const unsigned char* end,
                                                        unsigned char* out, bool after_cr,
                                                        const unsigned char* stop) noexcept {
  return Characters(in, end, out, after_cr, stop);
}

// The transcoder of a build: blocks of Width bytes while they last, then the trail of a pair the
// last block cut (the one byte finish_pair gives for it, from the trail at in and its lead at
// in[-1]), then the rest a character at a time. Where BlocksLeft, Block may leave a block, which
// is then converted a character at a time too.
template <std::size_t Width, BlockConverter Block,
          unsigned char (*FinishPair)(const unsigned char* in) noexcept,
          CharacterConverter Characters, bool BlocksLeft>
void convert_in_blocks(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept {
  const unsigned char* in = image;
  const unsigned char* const end = image + size;
  // Every step stores two bytes and keeps up to two of them; the output never outgrows twice the
  // input consumed, so the spare store always lands within the sink's room.
  unsigned char* out = sink.cursor();
  // Whether the byte just handled was a CR, for the LF that may follow.
  bool after_cr = false;
  unsigned carry = 0;
  // A lead in last place, converted a character at a time, leaves in past end.
  const auto whole_block_left = [&] {
    return in < end && static_cast<std::size_t>(end - in) >= Width;
  };
  if constexpr (!BlocksLeft) {
    for (; whole_block_left(); in += Width) {
      out = Block(in, out, carry, after_cr);
    }
  }
  while (BlocksLeft && whole_block_left()) {
    // The blocks' own loop: nothing else in it, so that their constants stay in registers.
    unsigned carry_before = carry;
    bool after_cr_before = after_cr;
    while (whole_block_left()) {
      carry_before = carry;
      after_cr_before = after_cr;
      unsigned char* const next = Block(in, out, carry, after_cr);
      if (next == nullptr) [[unlikely]] {
        break;
      }
      out = next;
      in += Width;
    }
    if (!whole_block_left()) {
      break;
    }
    carry = carry_before;
    after_cr = after_cr_before;
    const unsigned char* const block_end = in + Width;
    if (carry != 0) {
      *out++ = FinishPair(in++);
      carry = 0;
      after_cr = false;
    }
    const Stopped stopped = convert_left_block<Characters>(in, end, out, after_cr, block_end);
    in = stopped.in;
    out = stopped.out;
    after_cr = stopped.after_cr;
  }
  if (carry != 0) {
    *out++ = FinishPair(in++);
    after_cr = false;
  }
  sink.advance_to(Characters(in, end, out, after_cr, end).out);
}

}  // namespace
