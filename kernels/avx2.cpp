#include "euc_jp_scalar.hpp"
#include "kernel_set.hpp"
#include "lane_blocks.hpp"
#include "pair_scan.hpp"
#include "shift_jis_scalar.hpp"

// 32 bytes at a time with AVX2, the output of a block written by shuffles from tables. The
// validators serve the AVX-512 set too.
namespace {

template <PairEncoding Encoding>
constexpr auto classify = lanes::classify<Avx2Lanes, Encoding>;

}  // namespace

int is_shift_jis_avx2(const unsigned char* image, std::size_t size) noexcept {
  return is_pair_text<shift_jis::ENCODING, classify<shift_jis::ENCODING>>(image, size);
}

int is_euc_jp_avx2(const unsigned char* image, std::size_t size) noexcept {
  return is_pair_text<euc_jp::ENCODING, classify<euc_jp::ENCODING>>(image, size);
}

int is_shift_jis_with_ibm_extensions_avx2(const unsigned char* image, std::size_t size) noexcept {
  return is_pair_text_with<shift_jis::ENCODING, classify<shift_jis::ENCODING>,
                           shift_jis::ibm_extension_length>(image, size);
}

int is_euc_jp_with_ibm_extensions_avx2(const unsigned char* image, std::size_t size) noexcept {
  return is_pair_text_with<euc_jp::ENCODING, classify<euc_jp::ENCODING>,
                           euc_jp::ibm_extension_length>(image, size);
}

extern const KernelSet AVX2_KERNELS{
    "avx2",
    is_shift_jis_avx2,
    shift_jis::convert<32, lanes::shift_jis_block<Avx2Lanes>>,
    is_euc_jp_avx2,
    euc_jp::convert<32, lanes::euc_jp_block<Avx2Lanes>>,
    is_shift_jis_with_ibm_extensions_avx2,
    shift_jis::convert<32, lanes::shift_jis_block<Avx2Lanes, true>, true>,
    is_euc_jp_with_ibm_extensions_avx2,
    euc_jp::convert<32, lanes::euc_jp_block<Avx2Lanes, true>, true>};
