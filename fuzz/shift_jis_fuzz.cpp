#include <cstddef>
#include <cstdint>

#include "euc_jp.hpp"
#include "fuzz_support.hpp"
#include "shift_jis.hpp"

namespace {

bool single(unsigned b) {
  return b < 0x80 || (b >= 0xA1 && b <= 0xDF);
}
bool lead(unsigned b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF);
}
bool trail(unsigned b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

bool reference_accepts(const Bytes& input) {
  if (input.empty()) {
    return false;
  }
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (single(input[i])) {
      continue;
    }
    if (!lead(input[i]) || i + 1 == input.size() || !trail(input[i + 1])) {
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
    if (b == 0x0D) {
      out.push_back(0x0A);
      after_cr = true;
    } else if (b == 0x0A) {
      if (!after_cr) {
        out.push_back(0x0A);
      }
      after_cr = false;
    } else if (b < 0x80) {
      out.push_back(static_cast<unsigned char>(b));
    } else if (b >= 0xA1 && b <= 0xDF) {
      out.push_back(0x8E);
      out.push_back(static_cast<unsigned char>(b));
    } else {
      const unsigned t = i + 1 < input.size() ? input[i + 1] : 0;
      const unsigned d = (2 * b) % 256;
      unsigned first = 0;
      unsigned second = 0;
      if (t < 0x9F) {
        first = d < 0x3F ? d + 0x9F : d + 0x1F;
        second = t <= 0x7E ? t + 0x61 : t + 0x60;
      } else {
        first = d < 0x3F ? d + 0xA0 : d + 0x20;
        second = t + 2;
      }
      out.push_back(static_cast<unsigned char>(first % 256));
      out.push_back(static_cast<unsigned char>(second % 256));
      ++i;
    }
  }
  return out;
}

// Shift_JIS comes back unchanged when every line ends in CR LF; valid text has no CR or LF
// inside a pair, so looking at the bytes one by one is enough.
bool line_ends_all_cr_lf(const Bytes& input) {
  for (std::size_t i = 0; i < input.size(); ++i) {
    const bool cr_without_lf = input[i] == 0x0D && (i + 1 == input.size() || input[i + 1] != 0x0A);
    const bool lf_without_cr = input[i] == 0x0A && (i == 0 || input[i - 1] != 0x0D);
    if (cr_without_lf || lf_without_cr) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr Direction direction{is_shift_jis,      shift_jis_to_euc_jp, euc_jp_to_shift_jis,
                                       reference_accepts, reference_transcode, line_ends_all_cr_lf};
  check_properties(direction, data, size);
  return 0;
}
