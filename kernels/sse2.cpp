#include "euc_jp_scalar.hpp"
#include "kernel_set.hpp"
#include "lane_blocks.hpp"
#include "pair_scan.hpp"
#include "shift_jis_scalar.hpp"

// 16 bytes at a time with SSE2, which every x86-64 processor has and the 32-bit Windows
// programs choose where the processor has it.
namespace {

int is_shift_jis_sse2(const unsigned char* image, std::size_t size) noexcept {
  using shift_jis::ENCODING;
  return is_pair_text<ENCODING, lanes::classify<Sse2Lanes, ENCODING>>(image, size) ? 1 : 0;
}

int is_euc_jp_sse2(const unsigned char* image, std::size_t size) noexcept {
  using euc_jp::ENCODING;
  return is_pair_text<ENCODING, lanes::classify<Sse2Lanes, ENCODING>>(image, size) ? 1 : 0;
}

}  // namespace

extern const KernelSet SSE2_KERNELS{
    "sse2", is_shift_jis_sse2, shift_jis::convert<16, lanes::shift_jis_block<Sse2Lanes>>,
    is_euc_jp_sse2, euc_jp::convert<16, lanes::euc_jp_block<Sse2Lanes>>};
