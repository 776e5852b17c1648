#pragma once

#include <cstddef>

#include "byte_sink.hpp"

// What one conversion direction plugs into the shared front end.
struct DirectionRules {
  // Yields 1 when image[0, size) passes the check, 0 otherwise.
  using Validator = int (*)(const unsigned char* image, std::size_t size) noexcept;
  // Writes the converted image[0, size) to the sink; may read image[size], the first slack byte.
  using Transcoder = void (*)(const unsigned char* image, std::size_t size,
                              ByteSink& sink) noexcept;

  // Printed whole, followed by one newline, for a bare command line, -?, -h or --help.
  const char* usage_text;
  // printf format with one %s for the file name as typed, printed when the check refuses a file.
  const char* rejection_message;
  // Whether image[0, size) is acceptable input for the direction.
  Validator validator;
  Transcoder transcoder;
  // The program's name and version, printed for --version.
  const char* version_line;
  // Whether image[0, size) holds no byte from 0x80 up.
  Validator ascii;
  // The name of the instruction set the validator and transcoder run with on this processor,
  // printed under the version.
  const char* (*kernel_set)() noexcept;
  // Encodings that text for this direction is never wholly written in once it holds a byte from
  // 0x80 up, though the validator may accept it: what the other direction writes, and UTF-8. With
  // the check on, such text is refused (it would be converted into garbage), and so is text that
  // begins with a UTF-8 byte order mark. Null where there is no second one.
  Validator look_alikes[2];
};
