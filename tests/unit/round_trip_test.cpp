#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using RoundTrip = EveryKernelSet;
INSTANTIATE_FOR_EVERY_KERNEL_SET(RoundTrip);

TEST_P(RoundTrip, EveryJisPositionAndKatakanaSurvivesBothDirections) {
  Bytes shift_jis_text;
  for (int row = 1; row <= 94; ++row) {
    for (int cell = 1; cell <= 94; ++cell) {
      const Pair pair = shift_jis_of(row, cell);
      shift_jis_text.push_back(pair.first);
      shift_jis_text.push_back(pair.second);
    }
    shift_jis_text.push_back(0x0D);
    shift_jis_text.push_back(0x0A);
  }
  for (int b = 0xA1; b <= 0xDF; ++b) {
    shift_jis_text.push_back(static_cast<unsigned char>(b));
  }
  for (int b = 0x01; b < 0x80; ++b) {
    if (b != 0x0D && b != 0x0A) {
      shift_jis_text.push_back(static_cast<unsigned char>(b));
    }
  }
  const KernelSet& kernels = *GetParam();
  ASSERT_EQ(validate(kernels.is_shift_jis, shift_jis_text), 1);

  const Bytes euc_jp_text = transcode(kernels.shift_jis_to_euc_jp, shift_jis_text);
  ASSERT_EQ(validate(kernels.is_euc_jp, euc_jp_text), 1);
  EXPECT_EQ(transcode(kernels.euc_jp_to_shift_jis, euc_jp_text), shift_jis_text);
}

}  // namespace
