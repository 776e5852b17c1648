#include <cstddef>
#include <cstdint>

#include "euc_jp.hpp"
#include "fuzz_support.hpp"
#include "shift_jis.hpp"

namespace {

bool reference_accepts(const Bytes& input) {
  if (input.empty()) {
    return false;
  }
  for (std::size_t i = 0; i < input.size(); ++i) {
    const unsigned b = input[i];
    if (b < 0x80) {
      continue;
    }
    if ((b < 0xA0 && b != 0x8E) || i + 1 == input.size() || input[i + 1] < 0xA0) {
      return false;
    }
    ++i;
  }
  return true;
}

// The conversion written out byte by byte, with the pair arithmetic in plain integers.
Bytes reference_transcode(const Bytes& input) {
  Bytes out;
  bool after_cr = false;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const unsigned b = input[i];
    const unsigned next = i + 1 < input.size() ? input[i + 1] : 0;
    if (b == 0x0D || (b == 0x0A && !after_cr)) {
      out.push_back(0x0D);
      out.push_back(0x0A);
    }
    if (b == 0x0D || b == 0x0A) {
      after_cr = b == 0x0D;
    } else if (b < 0x80) {
      out.push_back(static_cast<unsigned char>(b));
    } else if (b == 0x8E) {
      out.push_back(static_cast<unsigned char>(next));
      ++i;
    } else {
      const unsigned row = b % 128;
      const unsigned cell = next % 128;
      const unsigned first = (row + 1) / 2 + (row < 0x5F ? 0x70 : 0xB0);
      unsigned second = cell + 0x7E;
      if (row % 2 == 1) {
        second = cell <= 0x5F ? cell + 0x1F : cell + 0x20;
      }
      out.push_back(static_cast<unsigned char>(first % 256));
      out.push_back(static_cast<unsigned char>(second % 256));
      ++i;
    }
  }
  return out;
}

// EUC-JP comes back unchanged when it has no CR and holds only what Shift_JIS can say: JIS X 0208
// positions (both bytes 0xA1-0xFE) and half-width katakana (0x8E, then 0xA1-0xDF). The check
// also accepts pairs with 0xA0 or 0xFF and 0x8E before 0xA0 or 0xE0-0xFF, which have no place in
// Shift_JIS and so cannot come back.
bool expressible_in_shift_jis(const Bytes& input) {
  for (std::size_t i = 0; i < input.size(); ++i) {
    const unsigned b = input[i];
    if (b == 0x0D) {
      return false;
    }
    if (b < 0x80) {
      continue;
    }
    const unsigned next = i + 1 < input.size() ? input[i + 1] : 0;
    const bool katakana = b == 0x8E && next >= 0xA1 && next <= 0xDF;
    const bool position = b >= 0xA1 && b <= 0xFE && next >= 0xA1 && next <= 0xFE;
    if (!katakana && !position) {
      return false;
    }
    ++i;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr Direction direction{is_euc_jp,           euc_jp_to_shift_jis,
                                       shift_jis_to_euc_jp, reference_accepts,
                                       reference_transcode, expressible_in_shift_jis};
  check_properties(direction, data, size);
  return 0;
}
