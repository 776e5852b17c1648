#pragma once

#include <cstddef>
#include <cstdint>

#include "byte_sink.hpp"

// The lines of the usage text after the first, the same for both programs: a string literal, so
// that each program's usage text is one.
#define SWITCHES_TEXT                                                                             \
  "    -n   Do NOT check encoding\n"                                                              \
  "    -c   Check encoding (Default)\n"                                                           \
  "    -k   Keep each converted file's modification time\n"                                       \
  "    -w   Also convert IBM's extensions of Windows' Shift_JIS (FA 40-FC 4B)\n"                  \
  "    -v   After each message about a file, say why\n"                                           \
  "    -e   Exit with status 1 when a file was not converted\n"                                   \
  "    --check   Convert nothing; say which files would not be converted, exit status 1 if any\n" \
  "    -0   With --check: print only the names of the files that would be, each ended by NUL\n"   \
  "    --   End the switches: every later argument is a file name\n"                              \
  "    -h, --help   Print this text\n"                                                            \
  "    --version    Print the program's name and version"

// What one conversion direction plugs into the shared front end.
struct DirectionRules {
  // Yields 1 when image[0, size) passes the check, 0 otherwise.
  using Validator = int (*)(const unsigned char* image, std::size_t size) noexcept;
  // Writes the converted image[0, size) to the sink; may read image[size], the first slack byte.
  using Transcoder = void (*)(const unsigned char* image, std::size_t size,
                              ByteSink& sink) noexcept;
  // How unlikely image[0, size) is as Japanese text in one encoding; the lower, the likelier.
  using TextCost = std::int64_t (*)(const unsigned char* image, std::size_t size) noexcept;
  // Where the validator finds image[0, size) wrong: the offset of the character it refuses, or
  // size.
  using Locator = std::size_t (*)(const unsigned char* image, std::size_t size) noexcept;
  // One encoding the file may be read in.
  struct Reading {
    Validator validator;
    TextCost cost;
    // printf format with one %s, printed when the file reads best in this encoding.
    const char* rejection_message;
    // The encoding's name, as the messages give it.
    const char* name;
  };

  // Printed whole, followed by one newline, for a bare command line, -?, -h or --help.
  const char* usage_text;
  // printf format with one %s for the file name as typed, printed when the check refuses a file
  // for bytes the source encoding cannot hold.
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
  // How unlikely image[0, size) is as Japanese text in the source encoding, in quarter bits.
  TextCost cost;
  // The encodings a file may be written in instead, though the validator accepts it: [0] what the
  // other direction reads (a file converted already), [1] UTF-8. With the check on, a file that
  // holds a byte from 0x80 up and reads at least as well in one of them is refused with its
  // message, and so is a file in UTF-8 that begins with a byte order mark.
  Reading look_alikes[2];
  // printf format with one %s, printed when a file the check refuses reads as UTF-16.
  const char* utf16_message;
  // Where the validator finds a file wrong, to tell the user.
  Locator refused_at;
  // The source encoding's name, as the messages give it.
  const char* source_name;
  // The same direction with IBM's extensions of Windows' Shift_JIS accepted and converted (-w);
  // null in those rules themselves.
  const DirectionRules* with_ibm_extensions;
};
