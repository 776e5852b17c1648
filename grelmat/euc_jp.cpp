#include "euc_jp.hpp"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr unsigned char SINGLE_SHIFT_2 = 0x8E;

constexpr bool is_lead(unsigned b) {
  return b >= 0xA0 || b == SINGLE_SHIFT_2;
}
constexpr bool is_second(unsigned b) {
  return b >= 0xA0;
}

constexpr unsigned char wrap(unsigned value) {
  return static_cast<unsigned char>(value & 0xFFu);
}

}  // namespace

int is_euc_jp(const unsigned char* image, std::size_t size) noexcept {
  if (image == nullptr || size == 0) {
    return 0;
  }
  std::size_t p = 0;
  while (p < size) {
    const unsigned b = image[p];
    if (b < 0x80) {
      p += 1;
    } else if (is_lead(b) && p + 1 < size && is_second(image[p + 1])) {
      p += 2;
    } else {
      return 0;
    }
  }
  return 1;
}

void euc_jp_to_shift_jis(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept {
  // Set by CR and cleared only by LF, so the LF of a CR LF pair does not end a second line.
  bool after_cr = false;
  std::size_t p = 0;
  while (p < size) {
    const unsigned char b = image[p];
    if (b == CR) {
      sink.put(CR, LF);
      after_cr = true;
      p += 1;
    } else if (b == LF) {
      if (!after_cr) {
        sink.put(CR, LF);
      }
      after_cr = false;
      p += 1;
    } else if (b < 0x80) {
      sink.put(b);
      p += 1;
    } else if (b == SINGLE_SHIFT_2) {
      sink.put(image[p + 1]);
      p += 2;
    } else {
      const unsigned row = b & 0x7Fu;
      const unsigned cell = image[p + 1] & 0x7Fu;
      const unsigned lead = ((row + 1) >> 1) + (row < 0x5F ? 0x70 : 0xB0);
      unsigned trail = 0;
      if ((row & 1u) != 0) {
        trail = cell <= 0x5F ? cell + 0x1F : cell + 0x20;
      } else {
        trail = cell + 0x7E;
      }
      sink.put(wrap(lead), wrap(trail));
      p += 2;
    }
  }
}
