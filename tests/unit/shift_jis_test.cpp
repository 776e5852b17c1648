#include <gtest/gtest.h>

#include "shift_jis_reference.hpp"
#include "test_support.hpp"

namespace {

namespace ref = reference::shift_jis;

class ShiftJisKernels : public EveryKernelSet {
 protected:
  Bytes to_euc(const Bytes& input) const {
    return transcode(GetParam()->shift_jis_to_euc_jp, input);
  }
  int accepted(const Bytes& input) const { return validate(GetParam()->is_shift_jis, input); }
};
using ShiftJisToEucJp = ShiftJisKernels;
using IsShiftJis = ShiftJisKernels;
INSTANTIATE_FOR_EVERY_KERNEL_SET(ShiftJisToEucJp);
INSTANTIATE_FOR_EVERY_KERNEL_SET(IsShiftJis);

TEST_P(ShiftJisToEucJp, WorkedExamples) {
  const struct {
    Bytes input;
    Bytes expected;
  } cases[] = {
      {bytes({0x82, 0xA0}), bytes({0xA4, 0xA2})}, {bytes({0x88, 0x9F}), bytes({0xB0, 0xA1})},
      {bytes({0x81, 0x40}), bytes({0xA1, 0xA1})}, {bytes({0x83, 0x41}), bytes({0xA5, 0xA2})},
      {bytes({0xE0, 0x40}), bytes({0xDF, 0xA1})}, {bytes({0xA1}), bytes({0x8E, 0xA1})},
      {bytes({0x80, 0x40}), bytes({0x9F, 0xA1})}, {bytes({0xA0, 0x40}), bytes({0x5F, 0xA1})},
      {bytes({0xF0, 0x40}), bytes({0xFF, 0xA1})}, {bytes({0xFF, 0xFF}), bytes({0x1E, 0x01})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_euc(c.input), c.expected) << "input " << testing::PrintToString(c.input);
  }
}

TEST_P(ShiftJisToEucJp, LineEnds) {
  const struct {
    Bytes input;
    Bytes expected;
  } cases[] = {
      {bytes({0x0A}), bytes({0x0A})},
      {bytes({0x0A, 0x0A}), bytes({0x0A, 0x0A})},
      {bytes({0x61, 0x0D}), bytes({0x61, 0x0A})},
      {bytes({0x0D, 0x82, 0xA0, 0xB1, 0x0A, 0x0A}),
       bytes({0x0A, 0xA4, 0xA2, 0x8E, 0xB1, 0x0A, 0x0A})},
      {bytes({0x61, 0x0D, 0x0A, 0x62, 0x0D, 0x0A}), bytes({0x61, 0x0A, 0x62, 0x0A})},
      // A CR or LF as the trail of a pair is part of the pair, not a line end.
      {bytes({0x0D, 0x81, 0x0A, 0x0A}), bytes({0x0A, 0xA1, 0x6B, 0x0A})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_euc(c.input), c.expected) << "input " << testing::PrintToString(c.input);
  }
}

// Regression: a CR stayed in force until the next LF, so an LF with other bytes between it and
// a CR was dropped and two lines became one.
TEST_P(ShiftJisToEucJp, LfAfterOtherBytesAfterACrIsNotLost) {
  const struct {
    Bytes input;
    Bytes expected;
  } cases[] = {
      {bytes({0x0D, 0x0A}), bytes({0x0A})},
      {bytes({0x0D, 0x0D}), bytes({0x0A, 0x0A})},
      {bytes({0x0D, 0x0D, 0x0A}), bytes({0x0A, 0x0A})},
      {bytes({0x0D, 0x78, 0x0A}), bytes({0x0A, 0x78, 0x0A})},
      {bytes({0x0D, 0xA1, 0x0A}), bytes({0x0A, 0x8E, 0xA1, 0x0A})},
      {bytes({0x0D, 0x82, 0xA0, 0x0A}), bytes({0x0A, 0xA4, 0xA2, 0x0A})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_euc(c.input), c.expected) << "input " << testing::PrintToString(c.input);
  }
}

// The blocks of 16 carry the CR across their boundary: a CR LF split between two blocks is one
// line end, a CR that ends a block followed later by an LF two.
TEST_P(ShiftJisToEucJp, LineEndsAtEveryPlaceAroundABlockBoundary) {
  const std::vector<Bytes> ends = {bytes({0x0D, 0x0A}), bytes({0x0D, 0x61, 0x0A}),
                                   bytes({0x0D, 0x0D}), bytes({0x0D, 0xB1, 0x0A}),
                                   bytes({0x0D, 0x82, 0xA0, 0x0A})};
  for (const Bytes& input : line_ends_around_block_boundaries(ends, 0x62, 0x61)) {
    ASSERT_EQ(to_euc(input), ref::transcode(input)) << "input " << testing::PrintToString(input);
  }
}

TEST_P(ShiftJisToEucJp, EveryJisPositionGivesItsEucJpEncoding) {
  for (int row = 1; row <= 94; ++row) {
    for (int cell = 1; cell <= 94; ++cell) {
      const Pair sjis = shift_jis_of(row, cell);
      const Pair euc = euc_jp_of(row, cell);
      ASSERT_EQ(to_euc(bytes({sjis.first, sjis.second})), bytes({euc.first, euc.second}))
          << "row " << row << " cell " << cell;
    }
  }
}

TEST_P(ShiftJisToEucJp, EveryHalfWidthKatakanaGetsTheSingleShift) {
  for (int b = 0xA1; b <= 0xDF; ++b) {
    ASSERT_EQ(to_euc(bytes({b})), bytes({0x8E, b}));
  }
}

TEST_P(ShiftJisToEucJp, EveryLeadAndTrailFollowTheArithmetic) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    if (ref::single(b)) {
      continue;
    }
    for (int t = 0; t <= 0xFF; ++t) {
      ASSERT_EQ(to_euc(bytes({b, t})), ref::pair(b, t)) << "lead " << b << " trail " << t;
    }
  }
}

TEST_P(ShiftJisToEucJp, AsciiPassesUnchanged) {
  for (int b = 0; b < 0x80; ++b) {
    if (b != 0x0D && b != 0x0A) {
      ASSERT_EQ(to_euc(bytes({b, 0x41})), bytes({b, 0x41}));
    }
  }
}

TEST_P(ShiftJisToEucJp, LoneLeadAtTheEndPairsWithTheZeroSlackByte) {
  EXPECT_EQ(to_euc(bytes({0x82})), bytes({0xA3, 0x61}));
  EXPECT_EQ(to_euc(bytes({0x41, 0xE0})), bytes({0x41, 0xDF, 0x61}));
}

TEST_P(IsShiftJis, EmptyOrAbsentImageIsRejected) {
  EXPECT_EQ(GetParam()->is_shift_jis(nullptr, 0), 0);
  EXPECT_EQ(accepted(Bytes{}), 0);
}

TEST_P(IsShiftJis, EverySingleByte) {
  for (int b = 0; b <= 0xFF; ++b) {
    EXPECT_EQ(accepted(bytes({b})), ref::single(b) ? 1 : 0) << "byte " << b;
  }
}

TEST_P(IsShiftJis, EveryTwoByteSequence) {
  for (int b = 0; b <= 0xFF; ++b) {
    for (int t = 0; t <= 0xFF; ++t) {
      const bool expected = ref::lead(b) ? ref::trail(t) : ref::single(b) && ref::single(t);
      ASSERT_EQ(accepted(bytes({b, t})), expected ? 1 : 0) << "bytes " << b << " " << t;
    }
  }
}

TEST_P(IsShiftJis, LeadNeedsItsTrailInsideTheContent) {
  EXPECT_EQ(accepted(bytes({0x41, 0x82})), 0);
  EXPECT_EQ(accepted(bytes({0x82, 0xA0, 0x0D, 0x0A, 0xEF})), 0);
  EXPECT_EQ(accepted(bytes({0x82, 0xA0, 0x0D, 0x0A, 0xB1})), 1);
  // The validator must not look past the content: with a valid trail lying just beyond it, the
  // lone lead still fails.
  const Bytes image = bytes({0x82, 0xA0});
  EXPECT_EQ(GetParam()->is_shift_jis(image.data(), 1), 0);
}

TEST_P(IsShiftJis, EucJpThatLooksLikeKatakanaPassesButHighLeadsFail) {
  EXPECT_EQ(accepted(bytes({0xA4, 0xA2})), 1);
  EXPECT_EQ(to_euc(bytes({0xA4, 0xA2})), bytes({0x8E, 0xA4, 0x8E, 0xA2}));
  EXPECT_EQ(accepted(bytes({0xF0, 0xA1})), 0);
  EXPECT_EQ(accepted(bytes({0xE0, 0xFD})), 0);
}

}  // namespace
