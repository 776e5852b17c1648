#include "euc_jp_scalar.hpp"
#include "kernel_set.hpp"
#include "pair_scan.hpp"
#include "shift_jis_scalar.hpp"

// A byte at a time, on any processor.
namespace {

int is_shift_jis_portable(const unsigned char* image, std::size_t size) noexcept {
  using shift_jis::ENCODING;
  return is_pair_text<ENCODING, pair_scan::classify_bytes<ENCODING>>(image, size) ? 1 : 0;
}

void shift_jis_to_euc_jp_portable(const unsigned char* image, std::size_t size,
                                  ByteSink& sink) noexcept {
  sink.advance_to(shift_jis::convert_rest(image, image + size, sink.cursor(), false));
}

int is_euc_jp_portable(const unsigned char* image, std::size_t size) noexcept {
  using euc_jp::ENCODING;
  return is_pair_text<ENCODING, pair_scan::classify_bytes<ENCODING>>(image, size) ? 1 : 0;
}

void euc_jp_to_shift_jis_portable(const unsigned char* image, std::size_t size,
                                  ByteSink& sink) noexcept {
  sink.advance_to(euc_jp::convert_rest(image, image + size, sink.cursor(), false));
}

}  // namespace

extern const KernelSet PORTABLE_KERNELS{"portable", is_shift_jis_portable,
                                        shift_jis_to_euc_jp_portable, is_euc_jp_portable,
                                        euc_jp_to_shift_jis_portable};
