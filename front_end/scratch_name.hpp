#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// The names of scratch files, the same on every platform: ".<name>.<tag><suffix>" beside the
// file they are for, hidden where a leading dot hides a file and sorted next to it elsewhere.
// The file's name is cut to at most SCRATCH_NAME_UNITS units, never inside a character, so that
// the whole fits any file system's limit; the tag is eight characters from 62, made from the
// system's random generator for each attempt, so that nobody can tell the next name in advance
// and put something there.

inline constexpr std::size_t SCRATCH_NAME_UNITS = 64;
inline constexpr std::size_t SCRATCH_TAG_LENGTH = 8;
// Room for the longest scratch name and its terminating zero.
inline constexpr std::size_t SCRATCH_NAME_ROOM =
    1 + SCRATCH_NAME_UNITS + 1 + SCRATCH_TAG_LENGTH + 4 + 1;

using ScratchNoise = std::array<unsigned char, SCRATCH_TAG_LENGTH>;

// What a suffix says the scratch file holds.
inline constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";
inline constexpr std::string_view BACKUP_SUFFIX = ".bak";

// Writes the scratch name for the file named name, made with noise and ending in suffix (at most
// four units), into room, terminated; yields its length.
template <typename Char>
[[nodiscard]] std::size_t scratch_name(std::basic_string_view<Char> name, const ScratchNoise& noise,
                                       std::string_view suffix,
                                       std::array<Char, SCRATCH_NAME_ROOM>& room) noexcept {
  constexpr std::string_view ALPHABET =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // A unit that continues the character before it: a UTF-8 continuation byte, or the low half of
  // a UTF-16 surrogate pair.
  const auto continues = [](Char unit) {
    const auto value = static_cast<unsigned>(unit);
    if constexpr (sizeof(Char) == 1) {
      return (value & 0xC0u) == 0x80u;
    } else {
      return value >= 0xDC00u && value <= 0xDFFFu;
    }
  };
  std::size_t kept = name.size() < SCRATCH_NAME_UNITS ? name.size() : SCRATCH_NAME_UNITS;
  while (kept > 0 && kept < name.size() && continues(name[kept])) {
    --kept;
  }
  std::size_t length = 0;
  room[length++] = Char('.');
  for (std::size_t i = 0; i < kept; ++i) {
    room[length++] = name[i];
  }
  room[length++] = Char('.');
  for (const unsigned char byte : noise) {
    room[length++] = Char(ALPHABET[byte % ALPHABET.size()]);
  }
  for (std::size_t i = 0; i < suffix.size() && i < 4; ++i) {
    room[length++] = Char(suffix[i]);
  }
  room[length] = Char(0);
  return length;
}

enum class Created { made, name_taken, failed };

// Creates a scratch file exclusively under a fresh name until create, given each name in turn,
// makes it or fails for another reason than the name being taken; a hundred names at most. fill
// fills a ScratchNoise from the system's generator. Whatever create throws goes to the caller.
template <typename Char, typename Fill, typename Create>
[[nodiscard]] bool create_scratch(std::basic_string_view<Char> name, std::string_view suffix,
                                  Fill fill, Create create) {
  std::array<Char, SCRATCH_NAME_ROOM> room{};
  for (int attempt = 0; attempt < 100; ++attempt) {
    ScratchNoise noise{};
    fill(noise, attempt);
    const std::size_t length = scratch_name(name, noise, suffix, room);
    const Created created = create(std::basic_string_view<Char>(room.data(), length));
    if (created != Created::name_taken) {
      return created == Created::made;
    }
  }
  return false;
}
