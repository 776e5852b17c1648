#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "japanese_text.hpp"
#include "utf16_text.hpp"

namespace {

using Bytes = std::vector<unsigned char>;
using Cost = std::int64_t (*)(const unsigned char*, std::size_t) noexcept;

Bytes bytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

std::int64_t cost(Cost reading, const Bytes& text) {
  return reading(text.data(), text.size());
}

// Regressions: genuine Shift_JIS refused as EUC-JP, genuine EUC-JP refused as UTF-8 or Shift_JIS,
// and grelmat's own output converted again. Each text reads cheapest in its own encoding.
TEST(TextReadings, RealTextReadsCheapestInItsOwnEncoding) {
  const struct {
    const char* what;
    Bytes text;
    Cost own;
    Cost other;
  } cases[] = {
      {"FanFold US 式, Shift_JIS", bytes("FanFold US \x8E\xAE"), shift_jis_text_cost,
       euc_jp_text_cost},
      {"車, Shift_JIS", bytes("\x8E\xD4"), shift_jis_text_cost, euc_jp_text_cost},
      {"ﾃﾞﾌｫﾙﾄ: NO, Shift_JIS", bytes("\xC3\xDE\xCC\xAB\xD9\xC4: NO"), shift_jis_text_cost,
       euc_jp_text_cost},
      {"ﾃﾞﾌｫﾙﾄ, EUC-JP", bytes("\x8E\xC3\x8E\xDE\x8E\xCC\x8E\xAB\x8E\xD9\x8E\xC4"),
       euc_jp_text_cost, shift_jis_text_cost},
      {"表10.14, EUC-JP",
       bytes("\xC9\xBD"
             "10.14 List"),
       euc_jp_text_cost, utf8_text_cost},
      {"両立, EUC-JP", bytes("\xCE\xBE\xCE\xA9"), euc_jp_text_cost, utf8_text_cost},
      {"発熱, EUC-JP", bytes("\xC8\xAF\xC7\xAE"), euc_jp_text_cost, utf8_text_cost},
      {"Delete文, EUC-JP", bytes("Delete\xCA\xB8"), euc_jp_text_cost, utf8_text_cost},
      {"ＡＴＩＣＳ, EUC-JP", bytes("\xA3\xC1\xA3\xD4\xA3\xC9\xA3\xC3\xA3\xD3"), euc_jp_text_cost,
       shift_jis_text_cost},
      {"ｱﾉﾚｷｼｱ, Shift_JIS", bytes("\xB1\xC9\xDA\xB7\xBC\xB1"), shift_jis_text_cost,
       euc_jp_text_cost},
      {"ｶﾜﾋﾒﾏｽ, Shift_JIS", bytes("\xB6\xDC\xCB\xD2\xCF\xBD"), shift_jis_text_cost,
       euc_jp_text_cost},
      {"名古屋駅, EUC-JP", bytes("\xCC\xBE\xB8\xC5\xB2\xB0\xB1\xD8"), euc_jp_text_cost,
       shift_jis_text_cost},
      {"café, UTF-8", bytes("caf\xC3\xA9"), utf8_text_cost, shift_jis_text_cost},
      {"日本語, UTF-8", bytes("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"), utf8_text_cost,
       shift_jis_text_cost},
  };
  for (const auto& c : cases) {
    EXPECT_LT(cost(c.own, c.text), cost(c.other, c.text)) << c.what;
  }
}

// Any two bytes are read without reaching past them (the sanitizers watch), and costs add up
// over pieces cut just after a line feed.
TEST(TextReadings, AnyBytesAreReadSafelyAndPiecesAddUp) {
  for (Cost reading : {shift_jis_text_cost, euc_jp_text_cost, utf8_text_cost}) {
    for (unsigned pair = 0; pair < 0x10000; ++pair) {
      const Bytes two{static_cast<unsigned char>(pair >> 8), static_cast<unsigned char>(pair)};
      const Bytes first{two[0], '\n'};
      Bytes joined = first;
      joined.insert(joined.end(), two.begin(), two.end());
      ASSERT_EQ(cost(reading, joined), cost(reading, first) + cost(reading, two)) << pair;
    }
  }
}

TEST(Utf16Text, TellsUtf16FromBinary) {
  const struct {
    Bytes text;
    int expected;
  } cases[] = {
      {{'a', 0, '\r', 0, '\n', 0}, 1},  // little-endian without a mark
      {{0, 'a', 0, '\n'}, 1},           // big-endian without a mark
      {{0xFF, 0xFE, 0x42, 0x30}, 1},    // あ after a mark
      {{0xFE, 0xFF, 0x30, 0x42}, 1},
      {{0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}, 1},  // a surrogate pair
      {{0xFF, 0xFE, 0x3D, 0xD8, 'a', 0}, 0},      // a lone high surrogate
      {{0xFF, 0xFE, 0x00, 0xDE}, 0},              // a lone low surrogate
      {{'a', 0, 'b'}, 0},                         // odd length
      {{0, 1, 0, 2}, 0},                          // control characters: binary
      {{0, 0, 'a', 'b'}, 0},                      // as many zeros on each side
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_utf16_text(c.text.data(), c.text.size()), c.expected)
        << testing::PrintToString(c.text);
  }
}

}  // namespace
