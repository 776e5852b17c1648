#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.hpp"
#include "utf8.hpp"
#include "utf8_reference.hpp"

namespace {

// Each sequence after up to 9 bytes of ASCII, so that it starts at either end of the 8-byte words
// the kernel reads, and once more followed by ASCII: every lead with every second byte, and the
// third and fourth bytes at the edges of their ranges.
TEST(Utf8, EverySequenceAtEveryOffsetAgreesWithTheReference) {
  const int edges[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
  std::vector<Bytes> sequences;
  for (int lead = 0; lead < 256; ++lead) {
    for (int second = 0; second < 256; ++second) {
      sequences.push_back(bytes({lead, second}));
      if (lead >= 0xE0) {
        for (const int third : edges) {
          sequences.push_back(bytes({lead, second, third}));
          if (lead >= 0xF0) {
            for (const int fourth : edges) {
              sequences.push_back(bytes({lead, second, third, fourth}));
            }
          }
        }
      }
    }
  }
  for (const Bytes& sequence : sequences) {
    for (const std::size_t offset : {0u, 1u, 6u, 7u, 8u, 9u}) {
      for (const bool followed : {false, true}) {
        Bytes input(offset, 'a');
        input.insert(input.end(), sequence.begin(), sequence.end());
        if (followed) {
          input.insert(input.end(), 9, 'z');
        }
        const bool expected = reference::utf8::accepts(input);
        ASSERT_EQ(is_utf8(input.data(), input.size()), expected ? 1 : 0)
            << "sequence of " << sequence.size() << " from " << int(sequence[0]) << ", "
            << int(sequence[1]) << " after " << offset;
        const bool ascii =
            std::all_of(input.begin(), input.end(), [](unsigned char c) { return c < 0x80; });
        ASSERT_EQ(is_ascii(input.data(), input.size()), ascii ? 1 : 0);
      }
    }
  }
}

}  // namespace
