#include <gtest/gtest.h>

#include "euc_jp_reference.hpp"
#include "test_support.hpp"

namespace {

namespace ref = reference::euc_jp;

class EucJpKernels : public EveryKernelSet {
 protected:
  Bytes to_sjis(const Bytes& input) const {
    return transcode(GetParam()->euc_jp_to_shift_jis, input);
  }
  int accepted(const Bytes& input) const { return validate(GetParam()->is_euc_jp, input); }
};
using EucJpToShiftJis = EucJpKernels;
using IsEucJp = EucJpKernels;
INSTANTIATE_FOR_EVERY_KERNEL_SET(EucJpToShiftJis);
INSTANTIATE_FOR_EVERY_KERNEL_SET(IsEucJp);

TEST_P(EucJpToShiftJis, WorkedExamples) {
  const struct {
    Bytes input;
    Bytes expected;
  } cases[] = {
      {bytes({0xA4, 0xA2}), bytes({0x82, 0xA0})},
      {bytes({0xB0, 0xA1}), bytes({0x88, 0x9F})},
      {bytes({0xA1, 0xA1}), bytes({0x81, 0x40})},
      {bytes({0xA1, 0xE0}), bytes({0x81, 0x80})},
      {bytes({0xDF, 0xA1}), bytes({0xE0, 0x40})},
      {bytes({0x8E, 0xB1}), bytes({0xB1})},
      {bytes({0x8F, 0xA1, 0xA1, 0x41}), bytes({0x78, 0x40, 0x81, 0x60})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_sjis(c.input), c.expected) << "input " << testing::PrintToString(c.input);
  }
}

TEST_P(EucJpToShiftJis, LineEnds) {
  const struct {
    Bytes input;
    Bytes expected;
  } cases[] = {
      {bytes({0x0A, 0x0A}), bytes({0x0D, 0x0A, 0x0D, 0x0A})},
      {bytes({0x0D, 0x0D, 0x0A}), bytes({0x0D, 0x0A, 0x0D, 0x0A})},
      {bytes({0x61, 0x0A, 0xA4, 0xA2, 0x0A}), bytes({0x61, 0x0D, 0x0A, 0x82, 0xA0, 0x0D, 0x0A})},
      // A CR or LF as the second byte of a pair is part of the pair, not a line end.
      {bytes({0x0D, 0xA4, 0x0A, 0x0A}), bytes({0x0D, 0x0A, 0x82, 0x88, 0x0D, 0x0A})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_sjis(c.input), c.expected) << "input " << testing::PrintToString(c.input);
  }
}

// Regression: a CR stayed in force until the next LF, so an LF with other bytes between it and
// a CR was dropped and two lines became one.
TEST_P(EucJpToShiftJis, LfAfterOtherBytesAfterACrIsNotLost) {
  const struct {
    Bytes input;
    Bytes expected;
  } cases[] = {
      {bytes({0x0A}), bytes({0x0D, 0x0A})},
      {bytes({0x0D, 0x0A}), bytes({0x0D, 0x0A})},
      {bytes({0x0D}), bytes({0x0D, 0x0A})},
      {bytes({0x0D, 0x78, 0x0A}), bytes({0x0D, 0x0A, 0x78, 0x0D, 0x0A})},
      {bytes({0x0D, 0xA4, 0xA2, 0x0A}), bytes({0x0D, 0x0A, 0x82, 0xA0, 0x0D, 0x0A})},
      {bytes({0x0D, 0x8E, 0xB1, 0x0A}), bytes({0x0D, 0x0A, 0xB1, 0x0D, 0x0A})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_sjis(c.input), c.expected) << "input " << testing::PrintToString(c.input);
  }
}

// The blocks of 16 carry the CR across their boundary: a CR LF split between two blocks is one
// line end, a CR that ends a block followed later by an LF two.
TEST_P(EucJpToShiftJis, LineEndsAtEveryPlaceAroundABlockBoundary) {
  const std::vector<Bytes> ends = {bytes({0x0D, 0x0A}), bytes({0x0D, 0x61, 0x0A}),
                                   bytes({0x0D, 0x0D}), bytes({0x0D, 0x8E, 0xB1, 0x0A}),
                                   bytes({0x0D, 0xA4, 0xA2, 0x0A})};
  for (const Bytes& input : line_ends_around_block_boundaries(ends, 0x62, 0x61)) {
    ASSERT_EQ(to_sjis(input), ref::transcode(input)) << "input " << testing::PrintToString(input);
  }
}

// Regression: when 0x8E was the last byte of a 16-byte block, the byte after it was converted as
// the second byte of a pair instead of passing through.
TEST_P(EucJpToShiftJis, SingleShiftAtTheEndOfABlockStillPassesTheNextByte) {
  for (std::size_t offset = 0; offset < 40; ++offset) {
    Bytes input(offset, 0x61);
    const Bytes tail = bytes({0x8E, 0xB1, 0xA4, 0xA2, 0x8E, 0xDF, 0x61});
    input.insert(input.end(), tail.begin(), tail.end());
    input.insert(input.end(), 20, 0x62);
    Bytes expected(offset, 0x61);
    const Bytes converted = bytes({0xB1, 0x82, 0xA0, 0xDF, 0x61});
    expected.insert(expected.end(), converted.begin(), converted.end());
    expected.insert(expected.end(), 20, 0x62);
    EXPECT_EQ(to_sjis(input), expected) << "offset " << offset;
  }
}

TEST_P(EucJpToShiftJis, EveryJisPositionGivesItsShiftJisEncoding) {
  for (int row = 1; row <= 94; ++row) {
    for (int cell = 1; cell <= 94; ++cell) {
      const Pair euc = euc_jp_of(row, cell);
      const Pair sjis = shift_jis_of(row, cell);
      ASSERT_EQ(to_sjis(bytes({euc.first, euc.second})), bytes({sjis.first, sjis.second}))
          << "row " << row << " cell " << cell;
    }
  }
}

TEST_P(EucJpToShiftJis, SingleShiftDropsAndPassesTheNextByte) {
  for (int t = 0; t <= 0xFF; ++t) {
    ASSERT_EQ(to_sjis(bytes({0x8E, t})), bytes({t}));
  }
}

TEST_P(EucJpToShiftJis, EveryLeadAndSecondByteFollowTheArithmetic) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    if (b == 0x8E) {
      continue;
    }
    for (int t = 0; t <= 0xFF; ++t) {
      ASSERT_EQ(to_sjis(bytes({b, t})), ref::pair(b, t)) << "lead " << b << " second " << t;
    }
  }
}

TEST_P(EucJpToShiftJis, LoneLeadOrSingleShiftAtTheEndPairsWithTheZeroSlackByte) {
  EXPECT_EQ(to_sjis(bytes({0xA4})), bytes({0x82, 0x7E}));
  EXPECT_EQ(to_sjis(bytes({0x41, 0x8E})), bytes({0x41, 0x00}));
}

TEST_P(IsEucJp, EmptyOrAbsentImageIsRejected) {
  EXPECT_EQ(GetParam()->is_euc_jp(nullptr, 0), 0);
  EXPECT_EQ(accepted(Bytes{}), 0);
}

TEST_P(IsEucJp, EveryTwoByteSequence) {
  for (int b = 0; b <= 0xFF; ++b) {
    EXPECT_EQ(accepted(bytes({b})), b < 0x80 ? 1 : 0) << "byte " << b;
    for (int t = 0; t <= 0xFF; ++t) {
      const bool b_needs_second = b >= 0xA0 || b == 0x8E;
      const bool expected = b_needs_second ? t >= 0xA0 : b < 0x80 && t < 0x80;
      ASSERT_EQ(accepted(bytes({b, t})), expected ? 1 : 0) << "bytes " << b << " " << t;
    }
  }
}

TEST_P(IsEucJp, ThreeByteFormAndShiftJisAreRejected) {
  EXPECT_EQ(accepted(bytes({0x8F, 0xA1, 0xA1})), 0);
  EXPECT_EQ(accepted(bytes({0x82, 0xA0})), 0);
  EXPECT_EQ(accepted(bytes({0xA4, 0x41})), 0);
  // Two half-width katakana in Shift_JIS read as one EUC-JP pair: the check cannot see it.
  EXPECT_EQ(accepted(bytes({0xB1, 0xB2})), 1);
  EXPECT_EQ(to_sjis(bytes({0xB1, 0xB2})), bytes({0x89, 0x51}));
  const Bytes image = bytes({0xA4, 0xA2});
  EXPECT_EQ(GetParam()->is_euc_jp(image.data(), 1), 0);
}

}  // namespace
