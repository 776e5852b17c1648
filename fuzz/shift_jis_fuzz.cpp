#include <cstddef>
#include <cstdint>

#include "fuzz_support.hpp"
#include "japanese_text.hpp"
#include "kernel_set.hpp"
#include "shift_jis_reference.hpp"
#include "utf16_text.hpp"

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

// Hiragana a (82 A0) for every pair and half-width katakana B1 for every katakana; a lead in last
// place stays a lone lead, which pairs with the zero slack byte.
Bytes line_skeleton(const Bytes& input) {
  Bytes skeleton;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const unsigned b = input[i];
    if (b == 0x0D || b == 0x0A) {
      skeleton.push_back(static_cast<unsigned char>(b));
    } else if (b < 0x80) {
      skeleton.push_back('x');
    } else if (b >= 0xA1 && b <= 0xDF) {
      skeleton.push_back(0xB1);
    } else {
      skeleton.push_back(0x82);
      if (i + 1 < input.size()) {
        skeleton.push_back(0xA0);
        ++i;
      }
    }
  }
  return skeleton;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Every kernel set this processor runs, each held to the reference on its own.
  for (const KernelSet* kernels : runnable_kernel_sets()) {
    const Direction directions[] = {
        {kernels->is_shift_jis, kernels->shift_jis_to_euc_jp, kernels->euc_jp_to_shift_jis,
         reference::shift_jis::accepts, reference::shift_jis::transcode, line_ends_all_cr_lf,
         line_skeleton, kernels->name, false},
        {kernels->is_shift_jis_with_ibm_extensions,
         kernels->shift_jis_to_euc_jp_with_ibm_extensions,
         kernels->euc_jp_to_shift_jis_with_ibm_extensions, reference::shift_jis::accepts,
         reference::shift_jis::transcode, line_ends_all_cr_lf, line_skeleton, kernels->name, true}};
    for (const Direction& direction : directions) {
      check_properties(direction, data, size);
    }
  }
  // What tells text of another encoding reads any bytes, and only them (the sanitizers watch).
  const Bytes exact(data, data + size);
  static_cast<void>(shift_jis_text_cost(exact.data(), exact.size()));
  static_cast<void>(utf8_text_cost(exact.data(), exact.size()));
  static_cast<void>(is_utf16_text(exact.data(), exact.size()));
  return 0;
}
