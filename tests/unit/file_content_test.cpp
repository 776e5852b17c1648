#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>

#include "encoding_check.hpp"
#include "euc_jp.hpp"
#include "file_content.hpp"
#include "grelmat_rules.hpp"
#include "shift_jis.hpp"
#include "test_support.hpp"
#include "tovrek_rules.hpp"
#include "utf8.hpp"

namespace {

namespace fs = std::filesystem;

struct Collected final : PieceSink {
  Bytes bytes;
  bool take(std::span<const unsigned char> piece) noexcept override {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    return true;
  }
};

// Read and converted a piece at a time, with pieces of every small size, read through the buffer
// or from memory, a file gives byte for byte what converting it whole gives, and is accepted
// exactly when it is whole: cut after each line feed whatever comes before it (a lead that takes
// it as its trail, a CR) or after it, and through stretches with no line feed at all.
TEST(FileContent, PiecesOfAnySizeGiveWhatTheWholeGives) {
  // A name of this run's own: a run stopped as hung must not leave its file in the next one's way.
  const fs::path path = fs::temp_directory_path() /
                        ("file-content-test-" + std::to_string(std::random_device()()) + ".txt");
  std::mt19937 random(20261209);
  // Line ends, leads of both encodings, katakana, ASCII, and so a lone lead at the very end.
  const unsigned char alphabet[] = {'\n', '\r', 'a',  0x81, 0x8E, 0x9F, 0xA1,
                                    0xB0, 0xDF, 0xE0, 0xFC, 0xFF, 0x40, 0xA4};
  for (int round = 0; round < 150; ++round) {
    Bytes bytes(1 + random() % 300);
    for (unsigned char& byte : bytes) {
      byte = alphabet[random() % (round % 3 == 0 ? 4 : sizeof alphabet)];
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    // One open a round: under an emulated Windows each open costs a great deal.
    SourceFile file;
    ASSERT_TRUE(file.open(path.string().c_str()));
    for (const DirectionRules* rules : {&TOVREK_RULES, &GRELMAT_RULES}) {
      const Bytes expected = transcode(rules->transcoder, bytes);
      const bool valid = rules->validator(bytes.data(), bytes.size()) != 0;
      EncodingCheck whole(*rules);
      const bool accepted = whole.take(bytes) && whole.accepted();
      for (const std::size_t piece : {1u, 2u, 3u, 7u, 64u, 1024u}) {
        for (const bool loaded : {false, true}) {
          SCOPED_TRACE("round " + std::to_string(round) + ", pieces of " + std::to_string(piece) +
                       (loaded ? ", loaded" : ", read through the buffer"));
          FileContent content(file, bytes.size(), piece);
          ASSERT_TRUE(!loaded || content.load() == Loaded::done);
          const Loaded checked = content.each_piece([&](std::span<const unsigned char> part) {
            return rules->validator(part.data(), part.size()) != 0;
          });
          EXPECT_EQ(checked, valid ? Loaded::done : Loaded::stopped);
          ConvertedContent converted(content, *rules, false);
          Collected collected;
          ASSERT_TRUE(converted.pieces(collected));
          ASSERT_EQ(collected.bytes, expected);
          // Checked as it is converted, piece by piece, it is refused exactly when the whole is.
          ConvertedContent checked_as_converted(content, *rules, true);
          Collected ignored;
          EXPECT_EQ(checked_as_converted.pieces(ignored), accepted);
          EXPECT_EQ(checked_as_converted.acceptable(), accepted);
        }
      }
    }
  }
  fs::remove(path);
}

}  // namespace
