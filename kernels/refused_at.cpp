#include "euc_jp.hpp"
#include "euc_jp_scalar.hpp"
#include "pair_scan.hpp"
#include "shift_jis.hpp"
#include "shift_jis_scalar.hpp"

// Where a check fails, a character at a time: only for telling the user, after the check.
namespace {

template <PairEncoding Encoding, std::size_t (*Extra)(const unsigned char*, std::size_t) noexcept>
std::size_t refused_at(const unsigned char* image, std::size_t size) noexcept {
  std::size_t at = 0;
  while (at < size) {
    const std::size_t length = character_length<Encoding, Extra>(image + at, size - at);
    if (length == 0) {
      return at;
    }
    at += length;
  }
  return size;
}

}  // namespace

std::size_t shift_jis_refused_at(const unsigned char* image, std::size_t size) noexcept {
  return refused_at<shift_jis::ENCODING, no_more>(image, size);
}

std::size_t shift_jis_with_ibm_extensions_refused_at(const unsigned char* image,
                                                     std::size_t size) noexcept {
  return refused_at<shift_jis::ENCODING, shift_jis::ibm_extension_length>(image, size);
}

std::size_t euc_jp_refused_at(const unsigned char* image, std::size_t size) noexcept {
  return refused_at<euc_jp::ENCODING, no_more>(image, size);
}

std::size_t euc_jp_with_ibm_extensions_refused_at(const unsigned char* image,
                                                  std::size_t size) noexcept {
  return refused_at<euc_jp::ENCODING, euc_jp::ibm_extension_length>(image, size);
}
