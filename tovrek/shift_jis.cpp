#include "shift_jis.hpp"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr unsigned char SINGLE_SHIFT_2 = 0x8E;

constexpr bool is_katakana(unsigned b) {
  return b >= 0xA1 && b <= 0xDF;
}
constexpr bool is_lead(unsigned b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF);
}
constexpr bool is_trail(unsigned b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// Byte arithmetic wraps modulo 256, which is what makes invalid pairs map deterministically.
constexpr unsigned char wrap(unsigned value) {
  return static_cast<unsigned char>(value & 0xFFu);
}

}  // namespace

int is_shift_jis(const unsigned char* image, std::size_t size) noexcept {
  if (image == nullptr || size == 0) {
    return 0;
  }
  std::size_t p = 0;
  while (p < size) {
    const unsigned b = image[p];
    if (b < 0x80 || is_katakana(b)) {
      p += 1;
    } else if (is_lead(b) && p + 1 < size && is_trail(image[p + 1])) {
      p += 2;
    } else {
      return 0;
    }
  }
  return 1;
}

void shift_jis_to_euc_jp(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept {
  // Set by CR and cleared only by LF, so the LF of a CR LF pair is not written a second time.
  bool after_cr = false;
  std::size_t p = 0;
  while (p < size) {
    const unsigned char b = image[p];
    if (b == CR) {
      sink.put(LF);
      after_cr = true;
      p += 1;
    } else if (b == LF) {
      if (!after_cr) {
        sink.put(LF);
      }
      after_cr = false;
      p += 1;
    } else if (b < 0x80) {
      sink.put(b);
      p += 1;
    } else if (is_katakana(b)) {
      sink.put(SINGLE_SHIFT_2, b);
      p += 1;
    } else {
      const unsigned t = image[p + 1];
      const unsigned doubled = wrap(2u * b);
      if (t < 0x9F) {
        sink.put(wrap(doubled < 0x3F ? doubled + 0x9F : doubled + 0x1F),
                 wrap(t <= 0x7E ? t + 0x61 : t + 0x60));
      } else {
        sink.put(wrap(doubled < 0x3F ? doubled + 0xA0 : doubled + 0x20), wrap(t + 0x02));
      }
      p += 2;
    }
  }
}
