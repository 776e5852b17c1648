#include <cstddef>
#include <cstdint>

#include "euc_jp_reference.hpp"
#include "fuzz_support.hpp"
#include "japanese_text.hpp"
#include "kernel_set.hpp"

namespace {

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

// Hiragana a (A4 A2) for every pair and 8E B1 for every single shift; a lead or single shift in
// last place stays alone, to pair with the zero slack byte.
Bytes line_skeleton(const Bytes& input) {
  Bytes skeleton;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const unsigned b = input[i];
    if (b == 0x0D || b == 0x0A) {
      skeleton.push_back(static_cast<unsigned char>(b));
    } else if (b < 0x80) {
      skeleton.push_back('x');
    } else {
      const bool single_shift = b == 0x8E;
      skeleton.push_back(single_shift ? 0x8E : 0xA4);
      if (i + 1 < input.size()) {
        skeleton.push_back(single_shift ? 0xB1 : 0xA2);
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
        {kernels->is_euc_jp, kernels->euc_jp_to_shift_jis, kernels->shift_jis_to_euc_jp,
         reference::euc_jp::accepts, reference::euc_jp::transcode, expressible_in_shift_jis,
         line_skeleton, kernels->name, false},
        {kernels->is_euc_jp_with_ibm_extensions, kernels->euc_jp_to_shift_jis_with_ibm_extensions,
         kernels->shift_jis_to_euc_jp_with_ibm_extensions, reference::euc_jp::accepts,
         reference::euc_jp::transcode, expressible_in_shift_jis, line_skeleton, kernels->name,
         true}};
    for (const Direction& direction : directions) {
      check_properties(direction, data, size);
    }
  }
  // What tells text of another encoding reads any bytes, and only them (the sanitizers watch).
  const Bytes exact(data, data + size);
  static_cast<void>(euc_jp_text_cost(exact.data(), exact.size()));
  return 0;
}
