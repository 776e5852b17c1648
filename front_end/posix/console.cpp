#include <cstdio>
#include <new>
#include <string>

#include "console.hpp"
#include "signals.hpp"

namespace {

// The name with every control character written as \xNN, so that a name always stays on its
// own line and no name can print a line of its own or move the cursor.
std::string printable(const char* name) {
  std::string shown;
  for (const char* c = name; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte == 0x7f) {
      static constexpr char HEX[] = "0123456789abcdef";
      shown += {'\\', 'x', HEX[byte >> 4], HEX[byte & 0xf]};
    } else {
      shown += *c;
    }
  }
  return shown;
}

}  // namespace

void print_message(const char* format, const char* name, long long number) noexcept {
  // A reader of the messages that has gone must not end the run.
  prepare_signals();
  try {
    std::printf(format, printable(name).c_str(), number);
  } catch (const std::bad_alloc&) {
    std::printf(format, "?", number);
  }
  std::fflush(stdout);
}
