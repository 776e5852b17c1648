#include <cstddef>
#include <cstdint>

#include "euc_jp.hpp"
#include "fuzz_support.hpp"
#include "shift_jis.hpp"
#include "shift_jis_reference.hpp"

namespace {

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
  static constexpr Direction direction{is_shift_jis,
                                       shift_jis_to_euc_jp,
                                       euc_jp_to_shift_jis,
                                       reference::shift_jis::accepts,
                                       reference::shift_jis::transcode,
                                       line_ends_all_cr_lf};
  check_properties(direction, data, size);
  return 0;
}
