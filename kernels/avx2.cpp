#include "euc_jp_scalar.hpp"
#include "kernel_set.hpp"
#include "lane_blocks.hpp"
#include "pair_scan.hpp"
#include "shift_jis_scalar.hpp"

// 32 bytes at a time with AVX2, the output of a block written by shuffles from tables. The
// validators serve the AVX-512 set too.
int is_shift_jis_avx2(const unsigned char* image, std::size_t size) noexcept {
  using shift_jis::ENCODING;
  return is_pair_text<ENCODING, lanes::classify<Avx2Lanes, ENCODING>>(image, size);
}

int is_euc_jp_avx2(const unsigned char* image, std::size_t size) noexcept {
  using euc_jp::ENCODING;
  return is_pair_text<ENCODING, lanes::classify<Avx2Lanes, ENCODING>>(image, size);
}

extern const KernelSet AVX2_KERNELS{
    "avx2", is_shift_jis_avx2, shift_jis::convert<32, lanes::shift_jis_block<Avx2Lanes>>,
    is_euc_jp_avx2, euc_jp::convert<32, lanes::euc_jp_block<Avx2Lanes>>};
