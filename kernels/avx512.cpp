#include <bit>
#include <cstdint>

#include <immintrin.h>

#include "euc_jp_scalar.hpp"
#include "kernel_set.hpp"
#include "pair_scan.hpp"
#include "shift_jis_scalar.hpp"

// 64 bytes at a time with AVX-512: comparisons give bit masks directly, and a block is written
// by compressing each position's candidate bytes (VBMI2), whatever its changes of length, with no
// branch: whether a block changes length is as good as random on real text.
namespace {

__m512i splat(unsigned char b) noexcept {
  return _mm512_set1_epi8(static_cast<char>(b));
}

// Bit i set when byte i of v is from low to high.
std::uint64_t in_range(__m512i v, unsigned char low, unsigned char high) noexcept {
  return _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, splat(low)),
                                splat(static_cast<unsigned char>(high - low)));
}

// Byte orders for the byte permutations.
struct alignas(64) ByteOrder {
  unsigned char at[64];
};

// Position 32 * half + i of first and of second side by side, at 2i and 2i + 1.
constexpr ByteOrder side_by_side(int half) {
  ByteOrder order{};
  for (int i = 0; i < 32; ++i) {
    order.at[2 * i] = static_cast<unsigned char>(32 * half + i);
    order.at[2 * i + 1] = static_cast<unsigned char>(64 + 32 * half + i);
  }
  return order;
}

constexpr ByteOrder SIDE_BY_SIDE[2] = {side_by_side(0), side_by_side(1)};

// Each byte of the second operand moved one place up, below them the first byte of the first.
constexpr ByteOrder moved_up() {
  ByteOrder order{};
  for (int i = 1; i < 64; ++i) {
    order.at[i] = static_cast<unsigned char>(64 + i - 1);
  }
  return order;
}

constexpr ByteOrder MOVED_UP = moved_up();

__m512i load(const ByteOrder& order) noexcept {
  return _mm512_load_si512(order.at);
}

std::uint64_t equal_to(__m512i v, unsigned char b) noexcept {
  return _mm512_cmpeq_epi8_mask(v, splat(b));
}

// The bytes a block's positions stand for, each given as a first byte, kept unless the position
// vanishes, and a second, kept where it grows; written in order with nothing between them.
unsigned char* write_changed(unsigned char* out, __m512i first, __m512i second,
                             std::uint64_t vanishing, std::uint64_t growing) noexcept {
  const __m512i kept_first = _mm512_movm_epi8(~vanishing);
  const __m512i kept_second = _mm512_movm_epi8(growing);
  // Half a block at a time, so that its up to 64 bytes fit one register.
  for (const ByteOrder& order : SIDE_BY_SIDE) {
    const __m512i indices = load(order);
    const __m512i candidates = _mm512_permutex2var_epi8(first, indices, second);
    const std::uint64_t keep =
        _mm512_movepi8_mask(_mm512_permutex2var_epi8(kept_first, indices, kept_second));
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, candidates));
    out += std::popcount(keep);
  }
  return out;
}

// Where IbmExtensions, a block that holds a lead from 0xFA up (Shift_JIS) or any 0x8F (EUC-JP) is
// left to the conversion a character at a time, once written: deciding that last keeps the blocks'
// loop a single path, whose constants the compiler then keeps in registers.
template <bool IbmExtensions>
unsigned char* shift_jis_block(const unsigned char* in, unsigned char* out, unsigned& carry,
                               bool& after_cr) noexcept {
  using namespace shift_jis;
  const __m512i x = _mm512_loadu_si512(in);
  const __m512i next = _mm512_loadu_si512(in + 1);
  const std::uint64_t katakana_set = in_range(x, 0xA1, 0xDF);
  const std::uint64_t lead_set = _mm512_movepi8_mask(x) & ~katakana_set & ~std::uint64_t{carry};
  const std::uint64_t leads = pair_scan::leads_of(lead_set);
  const bool left = IbmExtensions && (leads & _mm512_cmpge_epu8_mask(x, splat(0xFA))) != 0;
  const std::uint64_t trails = (leads << 1) | carry;
  carry = static_cast<unsigned>(leads >> 63);
  const std::uint64_t katakana = katakana_set & ~trails;
  const std::uint64_t cr = equal_to(x, CR) & ~trails;
  const std::uint64_t lf = equal_to(x, LF) & ~trails;

  // The pair arithmetic on every byte at once, as the tables in shift_jis_scalar.hpp give it.
  const __m512i doubled = _mm512_add_epi8(x, x);
  __m512i first = _mm512_add_epi8(doubled, splat(0x1F));
  first =
      _mm512_mask_add_epi8(first, _mm512_cmple_epu8_mask(doubled, splat(0x3E)), first, splat(0x80));
  first = _mm512_mask_add_epi8(first, _mm512_cmpge_epu8_mask(next, splat(0x9F)), first, splat(1));
  __m512i second = _mm512_add_epi8(x, splat(0x02));
  second =
      _mm512_mask_add_epi8(second, _mm512_cmple_epu8_mask(x, splat(0x9E)), second, splat(0x5E));
  second = _mm512_mask_add_epi8(second, _mm512_cmple_epu8_mask(x, splat(0x7E)), second, splat(1));
  __m512i converted = _mm512_mask_blend_epi8(trails, x, second);
  converted = _mm512_mask_blend_epi8(leads, converted, first);
  converted = _mm512_mask_blend_epi8(cr, converted, splat(LF));

  const std::uint64_t dropped = lf & ((cr << 1) | (after_cr ? 1u : 0u));
  after_cr = (cr >> 63) != 0;
  // A katakana byte becomes SS2 and itself; a dropped LF nothing.
  unsigned char* const end =
      write_changed(out, _mm512_mask_blend_epi8(katakana, converted, splat(SINGLE_SHIFT_2)), x,
                    dropped, katakana);
  return left ? nullptr : end;
}

template <bool IbmExtensions>
unsigned char* euc_jp_block(const unsigned char* in, unsigned char* out, unsigned& carry,
                            bool& after_cr) noexcept {
  using namespace euc_jp;
  const __m512i x = _mm512_loadu_si512(in);
  const unsigned char lead_before = carry != 0 ? in[-1] : 0;
  // The byte before each position: the lead of a trail.
  const __m512i before = _mm512_permutex2var_epi8(splat(lead_before), load(MOVED_UP), x);
  const std::uint64_t leads = pair_scan::leads_of(_mm512_movepi8_mask(x) & ~std::uint64_t{carry});
  // 0x8F is no trail in EUC-JP: a block that holds one anywhere is left.
  const bool left = IbmExtensions && equal_to(x, THREE_BYTE_FORM) != 0;
  const std::uint64_t trails = (leads << 1) | carry;
  carry = static_cast<unsigned>(leads >> 63);
  const std::uint64_t shifts = equal_to(x, SINGLE_SHIFT_2) & leads;
  const std::uint64_t shifted = (shifts << 1) | (lead_before == SINGLE_SHIFT_2 ? 1u : 0u);
  const std::uint64_t cr = equal_to(x, CR) & ~trails;
  const std::uint64_t lf = equal_to(x, LF) & ~trails;

  // The pair arithmetic on every byte at once, as the tables in euc_jp_scalar.hpp give it. A
  // trail after SS2 passes through unchanged.
  const __m512i low7 = _mm512_and_si512(x, splat(0x7F));
  __m512i first = _mm512_add_epi8(_mm512_avg_epu8(low7, _mm512_setzero_si512()), splat(0x70));
  first =
      _mm512_mask_add_epi8(first, _mm512_cmpge_epu8_mask(low7, splat(0x5F)), first, splat(0x40));
  __m512i odd_second = _mm512_add_epi8(low7, splat(0x1F));
  odd_second = _mm512_mask_add_epi8(odd_second, _mm512_cmpge_epu8_mask(low7, splat(0x60)),
                                    odd_second, splat(1));
  const std::uint64_t odd_row = _mm512_test_epi8_mask(before, splat(1));
  const __m512i second =
      _mm512_mask_blend_epi8(odd_row, _mm512_add_epi8(low7, splat(0x7E)), odd_second);
  const std::uint64_t line_ends = cr | lf;
  __m512i converted = _mm512_mask_blend_epi8(trails & ~shifted, x, second);
  converted = _mm512_mask_blend_epi8(leads, converted, first);
  converted = _mm512_mask_blend_epi8(line_ends, converted, splat(LF));

  // SS2 itself and a dropped LF write nothing; another line end writes CR before its LF.
  const std::uint64_t dropped = lf & ((cr << 1) | (after_cr ? 1u : 0u));
  after_cr = (cr >> 63) != 0;
  const std::uint64_t grown = line_ends & ~dropped;
  unsigned char* const end = write_changed(out, _mm512_mask_blend_epi8(grown, converted, splat(CR)),
                                           splat(LF), shifts | dropped, grown);
  return left ? nullptr : end;
}

}  // namespace

// The validators are AVX2's: built with AVX-512, comparing 64 bytes at a time into mask
// registers, they ran slower, and the compiler moved the block loop's 64-bit arithmetic into
// mask registers as well.
int is_shift_jis_avx2(const unsigned char* image, std::size_t size) noexcept;
int is_euc_jp_avx2(const unsigned char* image, std::size_t size) noexcept;
int is_shift_jis_with_ibm_extensions_avx2(const unsigned char* image, std::size_t size) noexcept;
int is_euc_jp_with_ibm_extensions_avx2(const unsigned char* image, std::size_t size) noexcept;

extern const KernelSet AVX512_KERNELS{"avx512",
                                      is_shift_jis_avx2,
                                      shift_jis::convert<64, shift_jis_block<false>>,
                                      is_euc_jp_avx2,
                                      euc_jp::convert<64, euc_jp_block<false>>,
                                      is_shift_jis_with_ibm_extensions_avx2,
                                      shift_jis::convert<64, shift_jis_block<true>, true>,
                                      is_euc_jp_with_ibm_extensions_avx2,
                                      euc_jp::convert<64, euc_jp_block<true>, true>};
