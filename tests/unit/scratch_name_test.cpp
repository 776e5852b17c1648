#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>

#include "scratch_name.hpp"

namespace {

template <typename Char>
std::basic_string<Char> named(std::basic_string_view<Char> name, std::string_view suffix) {
  std::array<Char, SCRATCH_NAME_ROOM> room{};
  ScratchNoise noise{};
  noise.fill(61);  // the last of the 62 characters, '9'
  noise[0] = 62;   // wraps round to the first, 'A'
  return std::basic_string<Char>(room.data(), scratch_name(name, noise, suffix, room));
}

TEST(ScratchName, IsHiddenBesideTheFileWithATagAndWhatItHolds) {
  EXPECT_EQ(named<char>("memo.txt", BACKUP_SUFFIX), ".memo.txt.A9999999.bak");
  EXPECT_EQ(named<wchar_t>(L"memo.txt", TEMPORARY_SUFFIX), L".memo.txt.A9999999.tmp");
}

// The 64th unit of each long name below starts a character that does not end within 64.
TEST(ScratchName, ALongNameIsCutBeforeTheCharacterThatWouldNotFit) {
  std::string utf8 = "n";
  std::u16string utf16 = u"n";
  for (int i = 0; i < 40; ++i) {
    utf8 += "\xe3\x81\x82";  // three bytes: the 64th byte is the first of a character
    utf16 += u"\U0001F600";  // a surrogate pair: the 64th unit is the high half
  }
  const std::string cut8 = named<char>(utf8, BACKUP_SUFFIX);
  EXPECT_EQ(cut8.substr(1, cut8.size() - 14), utf8.substr(0, 1 + 3 * 21));
  EXPECT_EQ(cut8.substr(cut8.size() - 13), ".A9999999.bak");
  const std::u16string cut16 = named<char16_t>(utf16, BACKUP_SUFFIX);
  EXPECT_EQ(cut16.substr(1, cut16.size() - 14), utf16.substr(0, 1 + 2 * 31));
  EXPECT_LE(cut8.size() + 1, SCRATCH_NAME_ROOM);
}

}  // namespace
