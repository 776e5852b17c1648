#include <gtest/gtest.h>

#include <string>

#include "utf16.hpp"

namespace {

TEST(Utf16Names, EveryUnitAloneComesBackUnchanged) {
  for (char32_t unit = 1; unit <= 0xFFFF; ++unit) {
    const std::u16string units(1, static_cast<char16_t>(unit));
    ASSERT_EQ(utf16_of(utf8_of(units)), units) << "unit " << static_cast<unsigned>(unit);
  }
}

TEST(Utf16Names, PairsAndLoneSurrogatesInAnyOrderComeBackUnchanged) {
  const std::u16string names[] = {
      u"\U0001F600.txt",      // a pair
      u"a\xD83D.txt",         // a lone high surrogate
      u"\xDE00\xD83D",        // low before high: two lone ones, not a pair
      u"\xD83D\xD83D\xDE00",  // a lone high, then a pair
      u"ｔｅｓｔ∕café¥.txt",
  };
  for (const std::u16string& name : names) {
    EXPECT_EQ(utf16_of(utf8_of(name)), name);
  }
}

TEST(Utf16Names, PlainUtf8IsTheEncodingOfValidText) {
  EXPECT_EQ(utf8_of(u"a¥\U0001F600"), "a\xC2\xA5\xF0\x9F\x98\x80");
  EXPECT_EQ(utf16_of("a\xC2\xA5\xF0\x9F\x98\x80"), u"a¥\U0001F600");
}

TEST(Utf16Names, MalformedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(utf16_of("\x80"), u"\xFFFD");
  EXPECT_EQ(utf16_of("\xC0\xAF"), u"\xFFFD\xFFFD");                      // an overlong slash
  EXPECT_EQ(utf16_of("\xE3\x81"), u"\xFFFD\xFFFD");                      // cut short
  EXPECT_EQ(utf16_of("\xF4\x90\x80\x80"), u"\xFFFD\xFFFD\xFFFD\xFFFD");  // past U+10FFFF
}

}  // namespace
