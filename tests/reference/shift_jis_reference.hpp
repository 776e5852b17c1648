#pragma once

#include <cstddef>
#include <vector>

#include "ibm_extensions_reference.hpp"

// Shift_JIS as plainly as it can be written: byte classes, the validity rule and the conversion
// to EUC-JP byte by byte in plain integers. The unit tests and the fuzz target hold the optimised
// kernels against it.
namespace reference::shift_jis {

using Bytes = std::vector<unsigned char>;

inline bool single(int b) {
  return b < 0x80 || (b >= 0xA1 && b <= 0xDF);
}
inline bool lead(int b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF);
}
inline bool trail(int b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// The pair arithmetic, for every lead and trail value including invalid ones.
inline void append_pair(Bytes& out, int b, int t) {
  const int d = (2 * b) % 256;
  int first = 0;
  int second = 0;
  if (t < 0x9F) {
    first = d < 0x3F ? d + 0x9F : d + 0x1F;
    second = t <= 0x7E ? t + 0x61 : t + 0x60;
  } else {
    first = d < 0x3F ? d + 0xA0 : d + 0x20;
    second = t + 2;
  }
  out.push_back(static_cast<unsigned char>(first % 256));
  out.push_back(static_cast<unsigned char>(second % 256));
}

inline Bytes pair(int b, int t) {
  Bytes out;
  append_pair(out, b, t);
  return out;
}

// Whether input[i] begins one of IBM's extensions, whole.
inline bool ibm_extension_at(const Bytes& input, std::size_t i) {
  return i + 1 < input.size() && ibm::forms().of_code.count(input[i] << 8 | input[i + 1]) != 0;
}

inline bool accepts(const Bytes& input, bool ibm_extensions = false) {
  if (input.empty()) {
    return false;
  }
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (single(input[i])) {
      continue;
    }
    if (ibm_extensions && ibm_extension_at(input, i)) {
      ++i;
      continue;
    }
    if (!lead(input[i]) || i + 1 == input.size() || !trail(input[i + 1])) {
      return false;
    }
    ++i;
  }
  return true;
}

// A lead in last place pairs with a zero byte, as the job's slack provides.
inline Bytes transcode(const Bytes& input, bool ibm_extensions = false) {
  Bytes out;
  out.reserve(2 * input.size());
  // An LF is dropped only right after a CR: CR LF, a lone CR and a lone LF are one line end each.
  bool after_cr = false;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const int b = input[i];
    if (b == 0x0D) {
      out.push_back(0x0A);
    } else if (b == 0x0A) {
      if (!after_cr) {
        out.push_back(0x0A);
      }
    } else if (b < 0x80) {
      out.push_back(static_cast<unsigned char>(b));
    } else if (b >= 0xA1 && b <= 0xDF) {
      out.push_back(0x8E);
      out.push_back(static_cast<unsigned char>(b));
    } else if (ibm_extensions && ibm_extension_at(input, i)) {
      const int form = ibm::forms().of_code.at(b << 8 | input[i + 1]);
      out.insert(out.end(), {0x8F, static_cast<unsigned char>(form >> 8),
                             static_cast<unsigned char>(form & 0xFF)});
      ++i;
    } else {
      append_pair(out, b, i + 1 < input.size() ? input[i + 1] : 0);
      ++i;
    }
    after_cr = b == 0x0D;
  }
  return out;
}

}  // namespace reference::shift_jis
