#pragma once

#include "direction_rules.hpp"

// Writes the direction's usage text and a newline to standard output; yields 0.
int print_usage(const DirectionRules& rules);

// Walks argv[1..argc) left to right: -n/-N and -c/-C turn the encoding check off and on for the
// names that follow, -k/-K keeps their modification times, -?, -h/-H and --help print the usage
// text and stop, --version prints the version line and stops, -- makes every later argument a
// name, any other single-dash switch is ignored, and every other argument is converted at once.
// Any other argument that starts with "--" before a lone "--" prints the usage text and nothing
// is converted. Yields the exit status, which is always 0.
[[nodiscard]] int run_command_line(int argc, const char* const* argv, const DirectionRules& rules);

#ifdef _WIN32
// The same for the arguments as Windows hands them to wmain, in UTF-16: each name is passed on
// in the encoding of utf16.hpp, so that the file opened is exactly the one named.
[[nodiscard]] int run_command_line(int argc, const wchar_t* const* argv,
                                   const DirectionRules& rules);
#endif
