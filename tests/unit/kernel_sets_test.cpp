#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "euc_jp_reference.hpp"
#include "kernel_set.hpp"
#include "shift_jis_reference.hpp"
#include "test_support.hpp"

namespace {

TEST(KernelChoice, ANamedSetGivesTheWidestRunnableSetNoWiderThanIt) {
  const auto named = [](const char* name) {
    KernelSet set{};
    set.name = name;
    return set;
  };
  const KernelSet narrow = named("portable");
  const KernelSet middle = named("sse2");
  const KernelSet wide = named("avx2");
  const KernelSet* const runnable[] = {&narrow, &middle, &wide};
  const struct {
    const char* wanted;
    const KernelSet* chosen;
  } cases[] = {{nullptr, &wide},  {"portable", &narrow}, {"sse2", &middle}, {"avx2", &wide},
               {"avx512", &wide}, {"", &wide},           {"SSE2", &wide}};
  for (const auto& c : cases) {
    EXPECT_EQ(&kernel_set_named(runnable, c.wanted), c.chosen)
        << (c.wanted == nullptr ? "unset" : c.wanted);
  }
  EXPECT_STREQ(runnable_kernel_sets().front()->name, "portable");
}

// Texts built from characters drawn at random from a list, with a fixed seed: some change length
// when converted (line ends, half-width katakana, the single shift), some break the encoding.
class Text {
 public:
  explicit Text(std::uint64_t seed) : state_(seed) {}

  Bytes from(const std::vector<Bytes>& characters, std::size_t size) {
    Bytes text;
    while (text.size() < size) {
      const Bytes& c = characters[below(characters.size())];
      text.insert(text.end(), c.begin(), c.end());
    }
    return text;
  }

 private:
  std::size_t below(std::size_t bound) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::size_t>((state_ >> 33) % bound);
  }
  std::uint64_t state_;
};

// Every window of each text, from each of the first 130 offsets and of every length up to 200:
// so every block size's full, changed in one place, changed in many places and tail paths, with
// the changes at every place in a block and blocks cut at every place in a character.
template <class Check>
void for_every_window(const std::vector<Bytes>& texts, Check check) {
  for (const Bytes& text : texts) {
    for (std::size_t start = 0; start < 130; ++start) {
      for (std::size_t size = 0; size <= 200 && start + size <= text.size(); ++size) {
        check(Bytes(text.begin() + static_cast<std::ptrdiff_t>(start),
                    text.begin() + static_cast<std::ptrdiff_t>(start + size)));
      }
    }
  }
}

using EveryBlockPath = EveryKernelSet;
INSTANTIATE_FOR_EVERY_KERNEL_SET(EveryBlockPath);

TEST_P(EveryBlockPath, ShiftJisAgreesWithTheReferenceInEveryWindow) {
  const std::vector<Bytes> pairs = {bytes({0x88, 0x9F}), bytes({0x82, 0xA0}), bytes({0xE0, 0x40}),
                                    bytes({0x81, 0x7E}), bytes({0x9F, 0xFC}), bytes({'a'})};
  std::vector<Bytes> changing = pairs;
  changing.insert(changing.end(), {bytes({0xB1}), bytes({0x0D, 0x0A}), bytes({0x0D}), bytes({0x0A}),
                                   bytes({0x0D, 'x', 0x0A})});
  std::vector<Bytes> broken = changing;
  broken.insert(broken.end(), {bytes({0xF0, 0x40}), bytes({0x81, 0x0A}), bytes({0x80})});
  // IBM's extensions, first and last of each lead, among codes just past them; one lead at a
  // time, so that each lead alone decides whether a block is left.
  std::vector<Bytes> first_lead = changing;
  first_lead.insert(first_lead.end(),
                    {bytes({0xFA, 0x40}), bytes({0xFA, 0xFC}), bytes({0xFA, 0x7F})});
  std::vector<Bytes> other_leads = changing;
  other_leads.insert(other_leads.end(), {bytes({0xFB, 0x80}), bytes({0xFC, 0x4B}),
                                         bytes({0xFC, 0x4C}), bytes({0xFD, 0x40})});
  Text text(7);
  const std::vector<Bytes> texts = {text.from(pairs, 340), text.from(changing, 340),
                                    text.from(broken, 340), text.from(first_lead, 340),
                                    text.from(other_leads, 340)};
  const KernelSet& k = *GetParam();
  for_every_window(texts, [&](const Bytes& input) {
    for (const bool with_ibm : {false, true}) {
      ASSERT_EQ(
          transcode(with_ibm ? k.shift_jis_to_euc_jp_with_ibm_extensions : k.shift_jis_to_euc_jp,
                    input),
          reference::shift_jis::transcode(input, with_ibm))
          << testing::PrintToString(input) << with_ibm;
      ASSERT_EQ(validate(with_ibm ? k.is_shift_jis_with_ibm_extensions : k.is_shift_jis, input),
                reference::shift_jis::accepts(input, with_ibm) ? 1 : 0)
          << testing::PrintToString(input) << with_ibm;
    }
  });
}

TEST_P(EveryBlockPath, EucJpAgreesWithTheReferenceInEveryWindow) {
  const std::vector<Bytes> pairs = {bytes({0xB0, 0xA1}), bytes({0xA4, 0xA2}), bytes({0xDF, 0xFE}),
                                    bytes({0xA1, 0xA1}), bytes({0xF4, 0xA6}), bytes({'a'})};
  std::vector<Bytes> changing = pairs;
  changing.insert(changing.end(), {bytes({0x8E, 0xB1}), bytes({0x0A}), bytes({0x0D, 0x0A}),
                                   bytes({0x0D}), bytes({0x0D, 'x', 0x0A})});
  std::vector<Bytes> broken = changing;
  broken.insert(broken.end(), {bytes({0x8F, 0xA1, 0xA1}), bytes({0xA4, 0x41}), bytes({0x8E})});
  // Forms of IBM's extensions (the first, the last, one of the two spare), a form of none, a cut
  // one.
  std::vector<Bytes> ibm = changing;
  ibm.insert(ibm.end(),
             {bytes({0x8F, 0xF3, 0xF3}), bytes({0x8F, 0xF4, 0xFB}), bytes({0x8F, 0xF3, 0xF1}),
              bytes({0x8F, 0xA1, 0xA1}), bytes({0x8F, 0xF3})});
  Text text(11);
  const std::vector<Bytes> texts = {text.from(pairs, 340), text.from(changing, 340),
                                    text.from(broken, 340), text.from(ibm, 340)};
  const KernelSet& k = *GetParam();
  for_every_window(texts, [&](const Bytes& input) {
    for (const bool with_ibm : {false, true}) {
      ASSERT_EQ(
          transcode(with_ibm ? k.euc_jp_to_shift_jis_with_ibm_extensions : k.euc_jp_to_shift_jis,
                    input),
          reference::euc_jp::transcode(input, with_ibm))
          << testing::PrintToString(input) << with_ibm;
      ASSERT_EQ(validate(with_ibm ? k.is_euc_jp_with_ibm_extensions : k.is_euc_jp, input),
                reference::euc_jp::accepts(input, with_ibm) ? 1 : 0)
          << testing::PrintToString(input) << with_ibm;
    }
  });
}

}  // namespace
