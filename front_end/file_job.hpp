#pragma once

#include <cstddef>
#include <cstdint>

#include "direction_rules.hpp"

// Files of this size or larger are refused.
inline constexpr std::int64_t MAX_FILE_SIZE = 0x100000;

// Converts the file at path in place with the direction's rules, first checking that it is in the
// source encoding when check_encoding is non-zero. Reports any failure as one line on standard
// output naming the path as typed. Yields 1 when the file was converted or is empty, 0 otherwise;
// after a 0 the file is as it was.
[[nodiscard]] int convert_file(const char* path, int check_encoding, const DirectionRules& rules);
