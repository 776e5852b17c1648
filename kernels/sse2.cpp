#include "euc_jp_scalar.hpp"
#include "kernel_set.hpp"
#include "lane_blocks.hpp"
#include "pair_scan.hpp"
#include "shift_jis_scalar.hpp"

// 16 bytes at a time with SSE2, which every x86-64 processor has and the 32-bit Windows
// programs choose where the processor has it.
namespace {

template <PairEncoding Encoding>
constexpr auto classify = lanes::classify<Sse2Lanes, Encoding>;

}  // namespace

extern const KernelSet SSE2_KERNELS{
    "sse2",
    is_pair_text<shift_jis::ENCODING, classify<shift_jis::ENCODING>>,
    shift_jis::convert<16, lanes::shift_jis_block<Sse2Lanes>>,
    is_pair_text<euc_jp::ENCODING, classify<euc_jp::ENCODING>>,
    euc_jp::convert<16, lanes::euc_jp_block<Sse2Lanes>>,
    is_pair_text_with<shift_jis::ENCODING, classify<shift_jis::ENCODING>,
                      shift_jis::ibm_extension_length>,
    shift_jis::convert<16, lanes::shift_jis_block<Sse2Lanes, true>, true>,
    is_pair_text_with<euc_jp::ENCODING, classify<euc_jp::ENCODING>, euc_jp::ibm_extension_length>,
    euc_jp::convert<16, lanes::euc_jp_block<Sse2Lanes, true>, true>};
