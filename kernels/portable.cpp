#include "euc_jp_scalar.hpp"
#include "kernel_set.hpp"
#include "pair_scan.hpp"
#include "shift_jis_scalar.hpp"

// A byte at a time, on any processor.
namespace {

template <bool IbmExtensions>
void shift_jis_to_euc_jp_portable(const unsigned char* image, std::size_t size,
                                  ByteSink& sink) noexcept {
  const unsigned char* const end = image + size;
  sink.advance_to(
      shift_jis::convert_characters<IbmExtensions>(image, end, sink.cursor(), false, end).out);
}

template <bool IbmExtensions>
void euc_jp_to_shift_jis_portable(const unsigned char* image, std::size_t size,
                                  ByteSink& sink) noexcept {
  const unsigned char* const end = image + size;
  sink.advance_to(
      euc_jp::convert_characters<IbmExtensions>(image, end, sink.cursor(), false, end).out);
}

template <PairEncoding Encoding>
constexpr auto classify = pair_scan::classify_bytes<Encoding>;

}  // namespace

extern const KernelSet PORTABLE_KERNELS{
    "portable",
    is_pair_text<shift_jis::ENCODING, classify<shift_jis::ENCODING>>,
    shift_jis_to_euc_jp_portable<false>,
    is_pair_text<euc_jp::ENCODING, classify<euc_jp::ENCODING>>,
    euc_jp_to_shift_jis_portable<false>,
    is_pair_text_with<shift_jis::ENCODING, classify<shift_jis::ENCODING>,
                      shift_jis::ibm_extension_length>,
    shift_jis_to_euc_jp_portable<true>,
    is_pair_text_with<euc_jp::ENCODING, classify<euc_jp::ENCODING>, euc_jp::ibm_extension_length>,
    euc_jp_to_shift_jis_portable<true>};
