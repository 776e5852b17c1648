#include "euc_jp_scalar.hpp"
#include "kernel_set.hpp"
#include "pair_scan.hpp"
#include "shift_jis_scalar.hpp"

// A byte at a time, on any processor.
namespace {

void shift_jis_to_euc_jp_portable(const unsigned char* image, std::size_t size,
                                  ByteSink& sink) noexcept {
  sink.advance_to(shift_jis::convert_rest(image, image + size, sink.cursor(), false));
}

void euc_jp_to_shift_jis_portable(const unsigned char* image, std::size_t size,
                                  ByteSink& sink) noexcept {
  sink.advance_to(euc_jp::convert_rest(image, image + size, sink.cursor(), false));
}

}  // namespace

extern const KernelSet PORTABLE_KERNELS{
    "portable", is_pair_text<shift_jis::ENCODING, pair_scan::classify_bytes<shift_jis::ENCODING>>,
    shift_jis_to_euc_jp_portable,
    is_pair_text<euc_jp::ENCODING, pair_scan::classify_bytes<euc_jp::ENCODING>>,
    euc_jp_to_shift_jis_portable};
