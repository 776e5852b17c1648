#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "converted_content.hpp"
#include "euc_jp.hpp"
#include "shift_jis.hpp"
#include "test_support.hpp"

namespace {

struct Collected final : PieceSink {
  Bytes bytes;
  std::size_t pieces = 0;
  bool take(std::span<const unsigned char> piece) noexcept override {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    ++pieces;
    return true;
  }
};

// Converted a piece at a time, with pieces of every small size, the content is byte for byte what
// converting it whole gives: cut after each line feed, whatever comes before it (a lead that takes
// it as its trail, a CR) or after it, and through stretches with no line feed at all.
TEST(ConvertedContent, PiecesOfAnySizeMakeWhatTheWholeImageMakes) {
  std::mt19937 random(20261209);
  // Line ends, leads of both encodings, katakana, ASCII, and a lone lead at the very end.
  const unsigned char alphabet[] = {'\n', '\r', 'a',  0x81, 0x8E, 0x9F,
                                    0xA1, 0xB0, 0xDF, 0xE0, 0xFC, 0xFF};
  for (const Transcoder transcoder : {&shift_jis_to_euc_jp, &euc_jp_to_shift_jis}) {
    for (int round = 0; round < 200; ++round) {
      Bytes image(random() % 300);
      for (unsigned char& byte : image) {
        byte = alphabet[random() % sizeof alphabet];
      }
      const Bytes expected = transcode(transcoder, image);
      image.resize(image.size() + 2, 0);
      for (const std::size_t piece :
           {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, std::size_t{64}}) {
        const std::size_t size = image.size() - 2;
        std::vector<unsigned char> room(ConvertedContent::room_needed(image.data(), size, piece));
        ConvertedContent converted(image.data(), size, transcoder, room, piece);
        Collected collected;
        ASSERT_TRUE(converted.pieces(collected));
        ASSERT_EQ(collected.bytes, expected) << "round " << round << ", pieces of " << piece;
        // Asked again, it makes the same content.
        Collected again;
        ASSERT_TRUE(converted.pieces(again));
        ASSERT_EQ(again.bytes, expected);
      }
    }
  }
}

}  // namespace
