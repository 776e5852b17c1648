#pragma once

#include <cstddef>
#include <vector>

#include "ibm_extensions_reference.hpp"

// EUC-JP as plainly as it can be written: the validity rule and the conversion to Shift_JIS byte
// by byte in plain integers. The unit tests and the fuzz target hold the optimised kernels
// against it.
namespace reference::euc_jp {

using Bytes = std::vector<unsigned char>;

// The pair arithmetic, for every lead and second byte including invalid ones.
inline void append_pair(Bytes& out, int b, int t) {
  const int row = b % 128;
  const int cell = t % 128;
  const int first = (row + 1) / 2 + (row < 0x5F ? 0x70 : 0xB0);
  int second = cell + 0x7E;
  if (row % 2 == 1) {
    second = cell <= 0x5F ? cell + 0x1F : cell + 0x20;
  }
  out.push_back(static_cast<unsigned char>(first % 256));
  out.push_back(static_cast<unsigned char>(second % 256));
}

inline Bytes pair(int b, int t) {
  Bytes out;
  append_pair(out, b, t);
  return out;
}

// Whether input[i] begins the three-byte form of one of IBM's extensions, whole.
inline bool ibm_extension_at(const Bytes& input, std::size_t i) {
  return input[i] == 0x8F && i + 2 < input.size() &&
         ibm::forms().code_of.count(input[i + 1] << 8 | input[i + 2]) != 0;
}

inline bool accepts(const Bytes& input, bool ibm_extensions = false) {
  if (input.empty()) {
    return false;
  }
  for (std::size_t i = 0; i < input.size(); ++i) {
    const int b = input[i];
    if (b < 0x80) {
      continue;
    }
    if (ibm_extensions && ibm_extension_at(input, i)) {
      i += 2;
      continue;
    }
    if ((b < 0xA0 && b != 0x8E) || i + 1 == input.size() || input[i + 1] < 0xA0) {
      return false;
    }
    ++i;
  }
  return true;
}

// A lead or single shift in last place pairs with a zero byte, as the job's slack provides.
inline Bytes transcode(const Bytes& input, bool ibm_extensions = false) {
  Bytes out;
  out.reserve(2 * input.size());
  // An LF is dropped only right after a CR: CR LF, a lone CR and a lone LF are one line end each.
  bool after_cr = false;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const int b = input[i];
    const int next = i + 1 < input.size() ? input[i + 1] : 0;
    if (b == 0x0D || (b == 0x0A && !after_cr)) {
      out.push_back(0x0D);
      out.push_back(0x0A);
    } else if (b == 0x0A) {
      // the LF of a CR LF pair, already written
    } else if (b < 0x80) {
      out.push_back(static_cast<unsigned char>(b));
    } else if (ibm_extensions && ibm_extension_at(input, i)) {
      const int code = ibm::forms().code_of.at(input[i + 1] << 8 | input[i + 2]);
      out.push_back(static_cast<unsigned char>(code >> 8));
      out.push_back(static_cast<unsigned char>(code & 0xFF));
      i += 2;
    } else if (b == 0x8E) {
      out.push_back(static_cast<unsigned char>(next));
      ++i;
    } else {
      append_pair(out, b, next);
      ++i;
    }
    after_cr = b == 0x0D;
  }
  return out;
}

}  // namespace reference::euc_jp
