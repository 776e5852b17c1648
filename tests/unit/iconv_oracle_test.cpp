#include <iconv.h>

#include <cerrno>
#include <optional>

#include <gtest/gtest.h>

#include "euc_jp.hpp"
#include "shift_jis.hpp"
#include "test_support.hpp"

namespace {

// The C library's converter between two encodings, as an independent witness of the mappings.
class Iconv {
 public:
  Iconv(const char* from, const char* to) : descriptor_(iconv_open(to, from)) {}
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  ~Iconv() {
    if (valid()) {
      iconv_close(descriptor_);
    }
  }
  [[nodiscard]] bool valid() const { return descriptor_ != reinterpret_cast<iconv_t>(-1); }

  // The whole input converted, or nothing when the library refuses any of it.
  std::optional<Bytes> convert(Bytes input) {
    iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);
    Bytes output(4 * input.size() + 8);
    char* in = reinterpret_cast<char*>(input.data());
    char* out = reinterpret_cast<char*>(output.data());
    std::size_t in_left = input.size();
    std::size_t out_left = output.size();
    if (iconv(descriptor_, &in, &in_left, &out, &out_left) == static_cast<std::size_t>(-1) ||
        in_left != 0) {
      return std::nullopt;
    }
    output.resize(output.size() - out_left);
    return output;
  }

 private:
  iconv_t descriptor_;
};

Bytes as_bytes(Pair pair) {
  return {pair.first, pair.second};
}

// JIS X 0208 assigns this many of its 94 x 94 positions.
constexpr int ASSIGNED_POSITIONS = 6879;

// Every position the library converts, and every half-width katakana, must convert alike; the
// positions it refuses are the unassigned ones, and there must be as many as JIS X 0208 leaves.
void expect_agreement(const char* from, const char* to, Transcoder transcoder,
                      Pair (*position)(int row, int cell), Bytes (*katakana)(unsigned char)) {
  Iconv library(from, to);
  ASSERT_TRUE(library.valid());
  int assigned = 0;
  for (int row = 1; row <= 94; ++row) {
    for (int cell = 1; cell <= 94; ++cell) {
      const Bytes input = as_bytes(position(row, cell));
      const std::optional<Bytes> expected = library.convert(input);
      if (!expected) {
        continue;
      }
      ++assigned;
      EXPECT_EQ(transcode(transcoder, input), *expected) << row << "-" << cell;
    }
  }
  EXPECT_EQ(assigned, ASSIGNED_POSITIONS);
  for (int b = 0xA1; b <= 0xDF; ++b) {
    const Bytes input = katakana(static_cast<unsigned char>(b));
    const std::optional<Bytes> expected = library.convert(input);
    ASSERT_TRUE(expected) << b;
    EXPECT_EQ(transcode(transcoder, input), *expected) << b;
  }
}

TEST(IconvOracle, ShiftJisToEucJpAgreesForEveryAssignedCharacterAndKatakana) {
  expect_agreement("SHIFT_JIS", "EUC-JP", shift_jis_to_euc_jp, shift_jis_of,
                   [](unsigned char b) { return Bytes{b}; });
}

TEST(IconvOracle, EucJpToShiftJisAgreesForEveryAssignedCharacterAndKatakana) {
  expect_agreement("EUC-JP", "SHIFT_JIS", euc_jp_to_shift_jis, euc_jp_of, [](unsigned char b) {
    return Bytes{0x8E, b};
  });
}

}  // namespace
