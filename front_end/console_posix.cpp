#include <cstdio>

#include "console.hpp"

void print_message(const char* format, const char* name, long long number) noexcept {
  std::printf(format, name, number);
  std::fflush(stdout);
}
