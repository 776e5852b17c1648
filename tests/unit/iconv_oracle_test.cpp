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

TEST(IconvOracle, ShiftJisToEucJpAgreesForEveryAssignedCharacterAndKatakana) {
  Iconv library("SHIFT_JIS", "EUC-JP");
  ASSERT_TRUE(library.valid());
  int assigned = 0;
  for (int row = 1; row <= 94; ++row) {
    for (int cell = 1; cell <= 94; ++cell) {
      const Bytes input = as_bytes(shift_jis_of(row, cell));
      const std::optional<Bytes> expected = library.convert(input);
      if (!expected) {
        continue;
      }
      ++assigned;
      EXPECT_EQ(transcode(shift_jis_to_euc_jp, input), *expected) << row << "-" << cell;
    }
  }
  EXPECT_EQ(assigned, ASSIGNED_POSITIONS);
  for (int b = 0xA1; b <= 0xDF; ++b) {
    const Bytes input = {static_cast<unsigned char>(b)};
    const std::optional<Bytes> expected = library.convert(input);
    ASSERT_TRUE(expected) << b;
    EXPECT_EQ(transcode(shift_jis_to_euc_jp, input), *expected) << b;
  }
}

TEST(IconvOracle, EucJpToShiftJisAgreesForEveryAssignedCharacterAndKatakana) {
  Iconv library("EUC-JP", "SHIFT_JIS");
  ASSERT_TRUE(library.valid());
  int assigned = 0;
  for (int row = 1; row <= 94; ++row) {
    for (int cell = 1; cell <= 94; ++cell) {
      const Bytes input = as_bytes(euc_jp_of(row, cell));
      const std::optional<Bytes> expected = library.convert(input);
      if (!expected) {
        continue;
      }
      ++assigned;
      EXPECT_EQ(transcode(euc_jp_to_shift_jis, input), *expected) << row << "-" << cell;
    }
  }
  EXPECT_EQ(assigned, ASSIGNED_POSITIONS);
  for (int b = 0xA1; b <= 0xDF; ++b) {
    const Bytes input = {0x8E, static_cast<unsigned char>(b)};
    const std::optional<Bytes> expected = library.convert(input);
    ASSERT_TRUE(expected) << b;
    EXPECT_EQ(transcode(euc_jp_to_shift_jis, input), *expected) << b;
  }
}

}  // namespace
