#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "console.hpp"
#include "printable_name.hpp"
#include "signals.hpp"

void print_message(const char* format, const char* name, long long number) noexcept {
  // A reader of the messages that has gone must not end the run.
  prepare_signals();
  try {
    std::printf(format, printable_name(name).c_str(), number);
  } catch (const std::bad_alloc&) {
    std::printf(format, "?", number);
  }
  std::fflush(stdout);
}

void print_name_ended_by_nul(const char* name) noexcept {
  prepare_signals();
  std::fwrite(name, 1, std::strlen(name) + 1, stdout);
  std::fflush(stdout);
}

int last_system_error() noexcept {
  return errno;
}

const char* system_error_text(int error, std::span<char> text) noexcept {
  std::snprintf(text.data(), text.size(), "%s", std::strerror(error));
  return text.data();
}
