#pragma once

#include <cstddef>

#include "byte_sink.hpp"

// What one conversion direction plugs into the shared front end.
struct DirectionRules {
  // Printed whole, followed by one newline, for a bare command line or -?.
  const char* usage_text;
  // printf format with one %s for the file name as typed, printed when the validator refuses.
  const char* rejection_message;
  // Yields 1 when image[0, size) is acceptable input for the direction, 0 otherwise.
  int (*validator)(const unsigned char* image, std::size_t size) noexcept;
  // Writes the converted image[0, size) to the sink; may read image[size], the first slack byte.
  using Transcoder = void (*)(const unsigned char* image, std::size_t size,
                              ByteSink& sink) noexcept;
  Transcoder transcoder;
};
