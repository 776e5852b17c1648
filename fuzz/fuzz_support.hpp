#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "byte_sink.hpp"

// What the fuzz targets of both directions share: the image and output laid out so that
// AddressSanitizer sees any access outside them, and the properties every input must keep.

using Bytes = std::vector<unsigned char>;
using Validator = int (*)(const unsigned char*, std::size_t) noexcept;
using Transcoder = void (*)(const unsigned char*, std::size_t, ByteSink&) noexcept;

// Each property is a hard failure: the run stops at the first input that breaks one.
inline void require(bool holds, const char* property, const char* kernel_set = "") {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s %s\n", property, kernel_set);
    std::abort();
  }
}

// The input as the file job lays it out, except that the block ends right after the first slack
// byte: that byte is all a transcoder may read beyond the content.
inline std::unique_ptr<unsigned char[]> image_of(const unsigned char* data, std::size_t size) {
  auto image = std::make_unique<unsigned char[]>(size + 1);
  for (std::size_t i = 0; i < size; ++i) {
    image[i] = data[i];
  }
  image[size] = 0;
  return image;
}

// Transcodes into a block of exactly twice the input's size, the most the job provides.
inline Bytes transcode_exactly(Transcoder transcoder, const unsigned char* data, std::size_t size) {
  const auto image = image_of(data, size);
  const std::size_t room = 2 * size;
  const auto output = std::make_unique<unsigned char[]>(room);
  ByteSink sink(output.get(), room);
  transcoder(image.get(), size, sink);
  require(sink.size() <= room, "the output is at most twice the input");
  return Bytes(output.get(), output.get() + sink.size());
}

// One direction: its kernels, the direction back, and plain references to hold them against.
struct Direction {
  Validator validator;
  Transcoder transcoder;
  Transcoder back;
  bool (*reference_accepts)(const Bytes&, bool ibm_extensions);
  Bytes (*reference_transcode)(const Bytes&, bool ibm_extensions);
  // Whether the input, once accepted, must come back unchanged from there and back.
  bool (*returns_unchanged)(const Bytes&);
  // The input with the same characters in the same places, each pair, single shift and byte from
  // 0x80 up replaced by one whose converted bytes hold no CR or LF, and every other byte but CR
  // and LF by 'x'. Only the line ends of its output are then CR or LF bytes.
  Bytes (*line_skeleton)(const Bytes&);
  // Which kernel set the kernels are from, named when a property breaks.
  const char* kernel_set;
  // Whether the kernels are those with IBM's extensions.
  bool ibm_extensions;
};

// Line ends in text whose only CR and LF bytes are line ends: CR LF counts once, a lone CR or LF
// once each.
inline std::size_t line_ends_in(const Bytes& text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool lf_of_cr_lf = text[i] == 0x0A && i > 0 && text[i - 1] == 0x0D;
    count += (text[i] == 0x0D || text[i] == 0x0A) && !lf_of_cr_lf ? 1u : 0u;
  }
  return count;
}

inline void check_properties(const Direction& direction, const std::uint8_t* data,
                             std::size_t size) {
  const Bytes input(data, data + size);
  const auto image = image_of(data, size);
  const bool accepted = direction.validator(image.get(), size) == 1;
  require(accepted == direction.reference_accepts(input, direction.ibm_extensions),
          "the validator agrees with the reference validator", direction.kernel_set);

  const Bytes output = transcode_exactly(direction.transcoder, data, size);
  require(output == direction.reference_transcode(input, direction.ibm_extensions),
          "the transcoder writes what the reference transcoder writes", direction.kernel_set);

  // No line end is lost or made up, whatever lies between the line ends.
  const Bytes skeleton = direction.line_skeleton(input);
  require(line_ends_in(transcode_exactly(direction.transcoder, skeleton.data(), skeleton.size())) ==
              line_ends_in(skeleton),
          "as many line ends come out as went in", direction.kernel_set);

  if (accepted && direction.returns_unchanged(input)) {
    const Bytes back = transcode_exactly(direction.back, output.data(), output.size());
    require(back == input, "converting there and back gives the input back", direction.kernel_set);
  }
}
