#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "byte_sink.hpp"
#include "kernel_set.hpp"

using Bytes = std::vector<unsigned char>;
using Transcoder = void (*)(const unsigned char*, std::size_t, ByteSink&) noexcept;
using Validator = int (*)(const unsigned char*, std::size_t) noexcept;

// A suite whose tests run once for each kernel set the processor runs, named after the set.
class EveryKernelSet : public testing::TestWithParam<const KernelSet*> {};

inline std::string kernel_set_name(const testing::TestParamInfo<const KernelSet*>& info) {
  return info.param->name;
}

#define INSTANTIATE_FOR_EVERY_KERNEL_SET(suite)                                       \
  INSTANTIATE_TEST_SUITE_P(Kernels, suite, testing::ValuesIn(runnable_kernel_sets()), \
                           kernel_set_name)

inline Bytes bytes(std::initializer_list<int> values) {
  Bytes result;
  for (const int value : values) {
    result.push_back(static_cast<unsigned char>(value));
  }
  return result;
}

// Runs a transcoder as the file job does: zeroed slack after the content, room for twice the input.
inline Bytes transcode(Transcoder transcoder, const Bytes& input) {
  Bytes image = input;
  image.resize(input.size() + 2, 0);
  Bytes output(2 * input.size());
  ByteSink sink(output.data(), output.size());
  transcoder(image.data(), input.size(), sink);
  output.resize(sink.size());
  return output;
}

// Each line end placed at every offset from 0 to 39 (so at every place around the first 16-byte
// block boundary), then again after 20 more bytes: pad, end, 20 times fill, end.
inline std::vector<Bytes> line_ends_around_block_boundaries(const std::vector<Bytes>& ends,
                                                            unsigned char pad, unsigned char fill) {
  std::vector<Bytes> inputs;
  for (const Bytes& end : ends) {
    for (std::size_t offset = 0; offset < 40; ++offset) {
      Bytes input(offset, pad);
      input.insert(input.end(), end.begin(), end.end());
      input.insert(input.end(), 20, fill);
      input.insert(input.end(), end.begin(), end.end());
      inputs.push_back(input);
    }
  }
  return inputs;
}

inline int validate(Validator validator, const Bytes& input) {
  return validator(input.data(), input.size());
}

// A JIS X 0208 position as it is laid out in each encoding's code table, worked out from the row
// and cell (both 1-94) independently of the converters.
struct Pair {
  unsigned char first;
  unsigned char second;
};

inline Pair euc_jp_of(int row, int cell) {
  return {static_cast<unsigned char>(0xA0 + row), static_cast<unsigned char>(0xA0 + cell)};
}

inline Pair shift_jis_of(int row, int cell) {
  // Two rows share a lead: rows 1-62 use 0x81-0x9F, rows 63-94 continue at 0xE0-0xEF.
  const int row_pair = (row - 1) / 2;
  const int lead = row_pair < 31 ? 0x81 + row_pair : 0xE0 + (row_pair - 31);
  // The odd row takes trails 0x40-0x9E stepping over 0x7F; the even row takes 0x9F-0xFC.
  int trail = 0;
  if (row % 2 == 1) {
    trail = 0x40 + (cell - 1);
    if (trail >= 0x7F) {
      ++trail;
    }
  } else {
    trail = 0x9F + (cell - 1);
  }
  return {static_cast<unsigned char>(lead), static_cast<unsigned char>(trail)};
}
